// The working memory of requests, owned by the library rather than by the
// frames of a request. A structured exception raised by a host callback on
// Win32 passes over frames built with DWARF unwinding without running their
// destructors; memory held only by such a frame would be lost for good. Here
// it stays on the pool's books and the next request of the same thread takes
// it back.
#ifndef VELMORA_PLUGIN_REQUEST_POOL_H_
#define VELMORA_PLUGIN_REQUEST_POOL_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "resolve/link_resolver.h"

namespace velmora {

// Everything a request allocates until it issues its link.
struct RequestMemory {
  RequestBuffers buffers;
  std::string dumpDir;  // the request's copy of the setting

 private:
  friend class RequestPool;
  RequestMemory* nextOwned = nullptr;  // every entry the pool made
  RequestMemory* next = nullptr;       // in the free list or the in-use list
  std::thread::id thread;              // the thread that took it
  std::uintptr_t frame = 0;            // the taking export's frame address
};

class RequestPool {
 public:
  RequestPool() = default;
  RequestPool(const RequestPool&) = delete;
  RequestPool& operator=(const RequestPool&) = delete;
  ~RequestPool();  // frees every entry, in use or not

  // Memory for a request whose export runs in the frame at frame. Entries
  // this thread took in frames at or above this one (not deeper) cannot
  // belong to a live request: a call nested in a callback of a live request
  // runs deeper on the stack. So they were abandoned by a foreign exception
  // and are taken back. Throws std::bad_alloc.
  RequestMemory& Acquire(std::uintptr_t frame);
  // Trims the memory for reuse and puts it back. Never throws.
  void Release(RequestMemory& memory) noexcept;

 private:
  std::mutex mutex_;
  RequestMemory* owned_ = nullptr;
  RequestMemory* free_ = nullptr;
  RequestMemory* inUse_ = nullptr;
};

// The library's one pool, created on first use and freed at unload.
RequestPool& Requests();

// Holds a request's memory; hands it back on a normal or C++-exception exit.
class RequestLease {
 public:
  RequestLease(RequestPool& pool, std::uintptr_t frame)
      : pool_(pool), memory_(pool.Acquire(frame)) {}
  ~RequestLease() { pool_.Release(memory_); }
  RequestLease(const RequestLease&) = delete;
  RequestLease& operator=(const RequestLease&) = delete;

  RequestMemory& memory() { return memory_; }

 private:
  RequestPool& pool_;
  RequestMemory& memory_;
};

}  // namespace velmora

// The address of the calling function's frame, for RequestPool::Acquire.
// Stacks grow downwards on every platform the plugin is built for.
#define VELMORA_FRAME_ADDRESS() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))

#endif  // VELMORA_PLUGIN_REQUEST_POOL_H_
