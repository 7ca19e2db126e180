// Test support for Win32: what the process holds, as seen from outside the
// plugin, for the tests that prove an abandoned request, or a library
// loaded and unloaded again, leaves nothing.
#ifndef VELMORA_TESTING_MEMORY_PROBE_H_
#define VELMORA_TESTING_MEMORY_PROBE_H_

#include <cstddef>

namespace velmora::testing {

struct MemoryUse {
  std::size_t heapBytes = 0;  // busy blocks of every heap of the process
  std::size_t heapBlocks = 0;
  std::size_t committed = 0;  // committed private pages
};

// Walks every heap of the process and its address space.
MemoryUse MeasureMemory();

// Bytes of private memory committed in the process.
std::size_t CommittedPrivateBytes();

// Handles the process holds, as the system lists them (GetProcessHandleCount
// counts nothing under Wine).
std::size_t OpenHandleCount();

// TLS indexes that TlsAlloc could still hand out, found by taking them all
// and giving them back.
std::size_t FreeTlsIndexCount();

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_MEMORY_PROBE_H_
