// Test support: the test binary's global operator new and delete count
// every block and can be told to fail one allocation on purpose. On an ELF
// system the dlopen'ed plugin binds to these too, so its allocations are
// counted and failed alike.
#ifndef VELMORA_PLUGIN_TEST_ALLOCATOR_H_
#define VELMORA_PLUGIN_TEST_ALLOCATOR_H_

namespace velmora::testing {

// Blocks allocated and not yet freed, on all threads, since the start.
long long LiveBlocks();

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
