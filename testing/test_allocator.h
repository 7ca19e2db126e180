// Test support: a global operator new and delete that count every block
// and can be told to fail one allocation on purpose. Natively they replace
// those of the test binary, and the dlopen'ed plugin binds to them too. A
// Windows DLL brings its own: there they go into a test-only build of the
// plugin, which hands the controls to the test through one extra export
// (plugin/fault_injection.h).
#ifndef VELMORA_PLUGIN_TEST_ALLOCATOR_H_
#define VELMORA_PLUGIN_TEST_ALLOCATOR_H_

namespace velmora::testing {

// Blocks allocated and not yet freed, on all threads, since the start.
long long LiveBlocks();

// Arms the failure of the nth allocation from now on (1-based), or disarms
// it for nth == 0.
void FailAllocation(long long nth);
// Allocations asked for since the last FailAllocation, the failed one
// included.
long long AllocationsSeen();

// While it exists, the nth allocation (1-based) made on any thread throws
// std::bad_alloc; the others succeed. Only one may exist at a time.
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

#endif  // VELMORA_PLUGIN_TEST_ALLOCATOR_H_
