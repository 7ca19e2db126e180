#include "testing/memory_probe.h"

#include <windows.h>
#include <winternl.h>

#include <iterator>
#include <vector>

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

std::size_t OpenHandleCount() {
  using QueryFn = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  // The list covers every process; grow the buffer until it fits.
  std::vector<char> buffer(1u << 20);
  ULONG needed = 0;
  NTSTATUS status;
  while ((status = query(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                         &needed)) == static_cast<NTSTATUS>(0xC0000004L)) {  // length mismatch
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return 0;
  const auto* info = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
  const ULONG self = GetCurrentProcessId();
  std::size_t count = 0;
  for (ULONG i = 0; i < info->Count; ++i) count += info->Handle[i].OwnerPid == self ? 1 : 0;
  return count;
}

std::size_t FreeTlsIndexCount() {
  std::vector<DWORD> taken;
  taken.reserve(2048);
  for (DWORD index; (index = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(index);
  for (const DWORD index : taken) TlsFree(index);
  return taken.size();
}

}  // namespace velmora::testing
