// On Win32 no C++ exception leaves an export: the boundary turns each into
// a structured exception, raised once the call has been unwound.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "plugin/boundary.h"
#include "plugin/plugin_api.h"
#include "testing/structured_exception_probe.h"

namespace {

// Stands for a temporary of a call; says whether it was released.
struct Temporary {
  bool* alive;
  ~Temporary() { *alive = false; }
};

TEST(BoundaryWin32Test, ErrorsBecomeStructuredExceptionsAfterUnwinding) {
  struct Row {
    const char* name;
    void (*fail)();
    DWORD code;
  };
  const Row rows[] = {
      {"bad_alloc", [] { throw std::bad_alloc(); }, VELMORA_STATUS_NO_MEMORY},
      {"length_error", [] { throw std::length_error("too long"); }, VELMORA_STATUS_FAILURE},
      {"not a std::exception", [] { throw 42; }, VELMORA_STATUS_FAILURE},
  };
  for (const Row& row : rows) {
    bool temporaryAlive = false;
    bool aliveAtRaise = true;
    bool lockFreeAtRaise = false;
    velmora::Mutex mutex;
    const velmora::ProbeOutcome outcome = velmora::RunOnProbeThread(
        [&] {
          velmora::AtBoundary([&] {
            std::lock_guard<velmora::Mutex> lock(mutex);
            temporaryAlive = true;
            Temporary temporary{&temporaryAlive};
            row.fail();
          });
        },
        [&] {
          aliveAtRaise = temporaryAlive;
          lockFreeAtRaise = TryAcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&mutex)) != 0;
        });
    EXPECT_TRUE(outcome.raised) << row.name;
    EXPECT_EQ(outcome.code, row.code) << row.name;
    EXPECT_NE(outcome.flags & EXCEPTION_NONCONTINUABLE, 0u) << row.name;
    EXPECT_FALSE(aliveAtRaise) << row.name;
    EXPECT_TRUE(lockFreeAtRaise) << row.name;
  }
}

TEST(BoundaryWin32Test, ResultsPassThrough) {
  EXPECT_STREQ(velmora::AtBoundary([] { return "x"; }), "x");
  int calls = 0;
  velmora::AtBoundary([&] { ++calls; });
  EXPECT_EQ(calls, 1);
}

}  // namespace
