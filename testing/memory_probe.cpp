#include "testing/memory_probe.h"

#include <windows.h>

#include <iterator>

namespace velmora::testing {

std::size_t CommittedPrivateBytes() {
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const char* address = nullptr;
       VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
  }
  return total;
}

MemoryUse MeasureMemory() {
  MemoryUse use;
  HANDLE heaps[256];
  const DWORD count = GetProcessHeaps(static_cast<DWORD>(std::size(heaps)), heaps);
  for (DWORD i = 0; i < count && i < std::size(heaps); ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
        use.heapBytes += entry.cbData;
        ++use.heapBlocks;
      }
    }
    HeapUnlock(heaps[i]);
  }
  use.committed = CommittedPrivateBytes();
  return use;
}

}  // namespace velmora::testing
