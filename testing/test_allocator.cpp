#include "testing/test_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "plugin/boundary.h"

namespace velmora::testing {
namespace {

std::atomic<long long> g_allocated{0};
std::atomic<long long> g_freed{0};
std::atomic<std::size_t> g_inUse{0};
std::atomic<std::size_t> g_peak{0};
std::atomic<bool> g_armed{false};
std::atomic<long long> g_seen{0};
std::atomic<long long> g_failAt{0};

// Each block starts with its size; 16 bytes keep the user part aligned.
constexpr std::size_t kHeader = 16;

void RaisePeak(std::size_t inUse) {
  std::size_t peak = g_peak.load(std::memory_order_relaxed);
  while (inUse > peak && !g_peak.compare_exchange_weak(peak, inUse, std::memory_order_relaxed)) {
  }
}

void* Allocate(std::size_t size) {
  if (g_armed.load(std::memory_order_acquire) &&
      g_seen.fetch_add(1, std::memory_order_relaxed) + 1 == g_failAt.load()) {
    return nullptr;
  }
  if (size > static_cast<std::size_t>(-1) - kHeader) return nullptr;
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) return nullptr;
  *static_cast<std::size_t*>(block) = size;
  g_allocated.fetch_add(1, std::memory_order_relaxed);
  RaisePeak(g_inUse.fetch_add(size, std::memory_order_relaxed) + size);
  return static_cast<char*>(block) + kHeader;
}

void Free(void* pointer) {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - kHeader;
  g_inUse.fetch_sub(*static_cast<std::size_t*>(block), std::memory_order_relaxed);
  g_freed.fetch_add(1, std::memory_order_relaxed);
  std::free(block);
}

}  // namespace

long long LiveBlocks() { return g_allocated.load() - g_freed.load(); }

std::size_t BytesInUse() { return g_inUse.load(); }

void ResetPeak() { g_peak.store(g_inUse.load()); }

std::size_t PeakBytes() { return g_peak.load(); }

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
  void* block = Allocate(size == 0 ? 1 : size);
  if (block == nullptr) velmora::FailForLackOfMemory();
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, std::size_t) noexcept { Free(block); }
void operator delete[](void* block, std::size_t) noexcept { Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Free(block); }
