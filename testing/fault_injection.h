// Test support for Win32: the test-only build of the plugin DLL
// (VelmoraFaultInjection.dll) is Velmora.plg with the counting allocator of
// testing/test_allocator.h, and one export more than the three, which hands
// its controls to the test. Never part of the shipped plugin.
#ifndef VELMORA_TESTING_FAULT_INJECTION_H_
#define VELMORA_TESTING_FAULT_INJECTION_H_

#include "plugin/plugin_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The DLL's allocator, as test_allocator.h describes it. */
typedef struct VelmoraAllocatorControl {
  long long (*liveBlocks)(void);
  void (*failAllocation)(long long nth); /* 0: fail none */
  long long (*allocationsSeen)(void);
} VelmoraAllocatorControl;

typedef const VelmoraAllocatorControl*(VELMORA_CALL* VelmoraTestAllocatorFn)(void);
#define VELMORA_TEST_ALLOCATOR_EXPORT "VelmoraTestAllocator"

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif  // VELMORA_TESTING_FAULT_INJECTION_H_
