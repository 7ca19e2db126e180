// What the exports need from the platform: the lock of the plugin's
// process-wide records, and the way an error inside the plugin reaches the
// host (plugin_api.h, convention 6). One implementation is linked in:
// boundary_native.cpp or boundary_win32.cpp.
#ifndef VELMORA_PLUGIN_BOUNDARY_H_
#define VELMORA_PLUGIN_BOUNDARY_H_

#include <mutex>

namespace velmora {

#if defined(_WIN32) && defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define VELMORA_SRW_MUTEX 1
// MinGW's win32 thread model has no std::mutex (before GCC 13). An SRW lock
// needs no set-up, no clean-up and no runtime DLL; it is one pointer, zero
// when unlocked.
class Mutex {
 public:
  constexpr Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();

 private:
  void* srwLock_ = nullptr;
};
#else
using Mutex = std::mutex;
#endif

// Keeps what a call owns releasable when a structured exception makes the
// host abandon the call: one raised in a host callback, or the plugin's own
// VELMORA_STATUS_NO_MEMORY (FailForLackOfMemory). On 32-bit Windows such an
// exception passes through the plugin without running its destructors; the
// guard then calls release(context) while the host unwinds. The C
// runtime's longjmp unwinds the frame handlers it passes over the same way,
// so a host that longjmps out of a callback releases the call too. release
// runs inside the system's exception dispatch, maybe in the middle of the
// plugin's own code: it must take no lock. Natively C++ unwinding does that
// job and the guard does nothing. Must live on the stack of the call, and
// context until the guard is gone.
class AbandonGuard {
 public:
  using Release = void (*)(void* context) noexcept;
  AbandonGuard(Release release, void* context) noexcept;
  ~AbandonGuard();
  AbandonGuard(const AbandonGuard&) = delete;
  AbandonGuard& operator=(const AbandonGuard&) = delete;

  void ReleaseNow() noexcept { release_(context_); }

 private:
  // Win32: the frame handler registration {next, handler} the system walks
  // (natively unused).
  [[maybe_unused]] void* registration_[2] = {nullptr, nullptr};
  Release release_;
  void* context_;
};

// Ends the call with an exhausted heap, as plugin_api.h (convention 6)
// promises: natively by throwing std::bad_alloc, which unwinds the call;
// on Win32, where the DLL has no C++ exceptions (see below), by raising
// VELMORA_STATUS_NO_MEMORY as a non-continuable structured exception right
// where the allocation failed. The request's memory goes back when the
// host unwinds past its AbandonGuard. So that no lock stays held, nothing
// in the plugin allocates while it holds one.
//
// Why the Win32 DLL has no C++ exceptions: throwing needs an unwinder that
// knows the DLL's frames. Where another module has brought MinGW's shared
// libgcc into the process first, the DLL's start-up code hands its unwind
// tables to that DLL, the unwinder linked into the DLL finds nothing and
// the host dies in std::terminate. The exception machinery also keeps
// memory, semaphores and a TLS index that unloading the DLL never gives
// back. So the DLL's code is built without exceptions, its operator new and
// the standard library's error hooks raise structured exceptions
// (heap_win32.cpp, runtime_win32.cpp), and no part of the exception
// machinery is linked in.
[[noreturn]] void FailForLackOfMemory();

#if defined(_WIN32)
// Raises code to the host as a non-continuable structured exception.
[[noreturn]] void RaiseFailure(unsigned long code);
#endif

}  // namespace velmora

#endif  // VELMORA_PLUGIN_BOUNDARY_H_
