#include "plugin/request_pool.h"

namespace velmora {

RequestPool::~RequestPool() {
  while (owned_ != nullptr) {
    RequestMemory* next = owned_->nextOwned;
    delete owned_;
    owned_ = next;
  }
}

RequestMemory& RequestPool::Acquire(std::uintptr_t frame) {
  const std::thread::id thread = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(mutex_);
  RequestMemory* taken = nullptr;
  for (RequestMemory** link = &inUse_; *link != nullptr;) {
    RequestMemory* entry = *link;
    if (entry->thread != thread || entry->frame > frame) {
      link = &entry->next;
      continue;
    }
    *link = entry->next;  // abandoned: back on the books
    entry->buffers.Trim();
    if (taken == nullptr) {
      taken = entry;
    } else {
      entry->next = free_;
      free_ = entry;
    }
  }
  if (taken == nullptr && free_ != nullptr) {
    taken = free_;
    free_ = taken->next;
  }
  if (taken == nullptr) {
    taken = new RequestMemory;
    taken->nextOwned = owned_;
    owned_ = taken;
  }
  taken->thread = thread;
  taken->frame = frame;
  taken->next = inUse_;
  inUse_ = taken;
  return *taken;
}

void RequestPool::Release(RequestMemory& memory) noexcept {
  memory.buffers.Trim();
  memory.dumpDir.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  for (RequestMemory** link = &inUse_; *link != nullptr; link = &(*link)->next) {
    if (*link != &memory) continue;
    *link = memory.next;
    break;
  }
  memory.next = free_;
  free_ = &memory;
}

RequestPool& Requests() {
  static RequestPool pool;  // freed when the library unloads
  return pool;
}

}  // namespace velmora
