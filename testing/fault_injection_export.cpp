// The one extra export of the test-only plugin DLL (plugin/fault_injection.h).
#include "plugin/fault_injection.h"

#include "plugin/test_allocator.h"

extern "C" const VelmoraAllocatorControl* VELMORA_CALL VelmoraTestAllocator() {
  static const VelmoraAllocatorControl control = {
      &velmora::testing::LiveBlocks,
      &velmora::testing::FailAllocation,
      &velmora::testing::AllocationsSeen,
  };
  return &control;
}
