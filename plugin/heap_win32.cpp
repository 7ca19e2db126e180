// Velmora.plg's operator new and delete: the C runtime's heap, and an
// exhausted heap raised as VELMORA_STATUS_NO_MEMORY (boundary.h) instead of
// the std::bad_alloc that libstdc++'s operator new would throw. The tests'
// build of the DLL brings a counting allocator instead
// (testing/test_allocator.cpp), which fails the same way.
#include <cstdlib>
#include <new>

#include "plugin/boundary.h"

void* operator new(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) velmora::FailForLackOfMemory();
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
