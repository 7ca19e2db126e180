#include "plugin/request_pool.h"

#include <gtest/gtest.h>

#include <thread>

namespace velmora {
namespace {

// Frames are plain numbers here: a larger address is a shallower frame.
TEST(RequestPoolTest, ReleasedMemoryIsReusedTrimmed) {
  RequestPool pool;
  RequestMemory& first = pool.Acquire(1000);
  first.buffers.text.assign(300 * 1024, 'x');
  first.buffers.params = "id=1\r\n";
  first.dumpDir = "/dumps/";
  pool.Release(first);
  RequestMemory& second = pool.Acquire(1000);
  EXPECT_EQ(&second, &first);
  EXPECT_LT(second.buffers.text.capacity(), 300u * 1024);
  EXPECT_TRUE(second.buffers.params.empty());
  EXPECT_TRUE(second.dumpDir.empty());
  pool.Release(second);
}

TEST(RequestPoolTest, AbandonedOrNestedByFrame) {
  struct Row {
    const char* what;
    std::uintptr_t abandonedAt, nextAt;
    bool reclaimed;
  };
  const Row rows[] = {
      {"called again from the same frame", 1000, 1000, true},
      {"called again from a shallower frame", 1000, 2000, true},
      {"called from deeper: a nested call, the outer still runs", 1000, 500, false},
  };
  for (const Row& row : rows) {
    RequestPool pool;
    RequestMemory& earlier = pool.Acquire(row.abandonedAt);  // never released
    earlier.buffers.text = "a page that was being read when the fault came";
    RequestMemory& next = pool.Acquire(row.nextAt);
    EXPECT_EQ(&next == &earlier, row.reclaimed) << row.what;
    if (row.reclaimed) {
      EXPECT_TRUE(next.buffers.text.empty()) << row.what;
    }
    pool.Release(next);
  }  // whatever is still marked in use is freed with the pool
}

TEST(RequestPoolTest, OtherThreadsRequestsAreNeverTaken) {
  RequestPool pool;
  RequestMemory* theirs = nullptr;
  std::thread([&] { theirs = &pool.Acquire(1000); }).join();
  RequestMemory& mine = pool.Acquire(5000);
  EXPECT_NE(&mine, theirs);
  pool.Release(mine);
}

TEST(RequestPoolTest, EndingOuterRequestLeavesNoAbandonedInnerBehind) {
  RequestPool pool;
  RequestMemory& outer = pool.Acquire(1000);
  RequestMemory& inner = pool.Acquire(500);  // then abandoned
  pool.Release(outer);
  // Both come back to the next requests, in whatever order.
  RequestMemory& a = pool.Acquire(1000);
  RequestMemory& b = pool.Acquire(400);
  EXPECT_TRUE((&a == &outer && &b == &inner) || (&a == &inner && &b == &outer));
  pool.Release(b);
  pool.Release(a);
}

}  // namespace
}  // namespace velmora
