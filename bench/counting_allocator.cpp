// Replaces the global allocator of the benchmark binary with one that counts
// the bytes in use and their peak, so a benchmark can show how much memory a
// request takes. Single-threaded on purpose, like the plugin.
#include "bench/counting_allocator.h"

#include <cstdlib>
#include <new>

namespace velmora::bench {
namespace {

std::size_t g_inUse = 0;
std::size_t g_peak = 0;

// Each block starts with its size; 16 bytes keep the user part aligned.
constexpr std::size_t kHeader = 16;

void* Allocate(std::size_t size) {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  g_inUse += size;
  if (g_inUse > g_peak) g_peak = g_inUse;
  return static_cast<char*>(block) + kHeader;
}

void Release(void* pointer) {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - kHeader;
  g_inUse -= *static_cast<std::size_t*>(block);
  std::free(block);
}

}  // namespace

std::size_t BytesInUse() { return g_inUse; }

void ResetPeak() { g_peak = g_inUse; }

std::size_t PeakBytes() { return g_peak; }

}  // namespace velmora::bench

void* operator new(std::size_t size) { return velmora::bench::Allocate(size); }
void* operator new[](std::size_t size) { return velmora::bench::Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return velmora::bench::Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* pointer) noexcept { velmora::bench::Release(pointer); }
void operator delete[](void* pointer) noexcept { velmora::bench::Release(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { velmora::bench::Release(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { velmora::bench::Release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
  velmora::bench::Release(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
  velmora::bench::Release(pointer);
}
