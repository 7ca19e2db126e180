// The one extra export of the test-only plugin DLL (testing/fault_injection.h).
#include "testing/fault_injection.h"
#include "testing/test_allocator.h"

extern "C" const VelmoraAllocatorControl* VELMORA_CALL VelmoraTestAllocator() {
  static const VelmoraAllocatorControl control = {
      &velmora::testing::LiveBlocks,
      &velmora::testing::FailAllocation,
      &velmora::testing::AllocationsSeen,
  };
  return &control;
}
