// Test support: a global operator new and delete that count every block and
// byte and can be told to fail one allocation on purpose, on any number of
// threads. Linked into a binary, they replace its allocator: the test binary
// (where the dlopen'ed plugin binds to them too), the benchmarks, and on
// Win32, where a DLL brings its own allocator, a test-only build of the
// plugin, which hands the controls to the test through one extra export
// (testing/fault_injection.h).
#ifndef VELMORA_TESTING_TEST_ALLOCATOR_H_
#define VELMORA_TESTING_TEST_ALLOCATOR_H_

#include <cstddef>

namespace velmora::testing {

// Blocks allocated and not yet freed, on all threads, since the start.
long long LiveBlocks();

// Bytes asked for and not yet freed, on all threads.
std::size_t BytesInUse();
// Starts a new peak at the bytes now in use.
void ResetPeak();
// The most bytes in use since the last ResetPeak().
std::size_t PeakBytes();

// Arms the failure of the nth allocation from now on (1-based), or disarms
// it for nth == 0.
void FailAllocation(long long nth);
// Allocations asked for since the last FailAllocation, the failed one
// included.
long long AllocationsSeen();

// While it exists, the nth allocation (1-based) made on any thread fails as
// the plugin's own would (FailForLackOfMemory in plugin/boundary.h:
// std::bad_alloc natively); the others succeed. Only one may exist at a time.
class FailNthAllocation {
 public:
  explicit FailNthAllocation(long long nth);
  ~FailNthAllocation();
  FailNthAllocation(const FailNthAllocation&) = delete;
  FailNthAllocation& operator=(const FailNthAllocation&) = delete;

  // Allocations asked for so far in this scope, the failed one included.
  long long Seen() const;
  bool Fired() const { return Seen() >= nth_; }

 private:
  long long nth_;
};

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_TEST_ALLOCATOR_H_
