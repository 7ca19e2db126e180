#include "plugin/test_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace velmora::testing {
namespace {

std::atomic<long long> g_allocated{0};
std::atomic<long long> g_freed{0};
std::atomic<bool> g_armed{false};
std::atomic<long long> g_seen{0};
std::atomic<long long> g_failAt{0};

void* Allocate(std::size_t size) {
  if (g_armed.load(std::memory_order_acquire) &&
      g_seen.fetch_add(1, std::memory_order_relaxed) + 1 == g_failAt.load()) {
    return nullptr;
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) g_allocated.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void Free(void* block) {
  if (block == nullptr) return;
  g_freed.fetch_add(1, std::memory_order_relaxed);
  std::free(block);
}

}  // namespace

long long LiveBlocks() { return g_allocated.load() - g_freed.load(); }

void FailAllocation(long long nth) {
  g_armed.store(false, std::memory_order_release);
  if (nth == 0) return;
  g_seen.store(0);
  g_failAt.store(nth);
  g_armed.store(true, std::memory_order_release);
}

long long AllocationsSeen() { return g_seen.load(); }

FailNthAllocation::FailNthAllocation(long long nth) : nth_(nth) { FailAllocation(nth); }

FailNthAllocation::~FailNthAllocation() { FailAllocation(0); }

long long FailNthAllocation::Seen() const { return AllocationsSeen(); }

}  // namespace velmora::testing

using velmora::testing::Allocate;
using velmora::testing::Free;

void* operator new(std::size_t size) {
  void* block = Allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, std::size_t) noexcept { Free(block); }
void operator delete[](void* block, std::size_t) noexcept { Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Free(block); }
