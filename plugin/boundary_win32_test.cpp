// On Win32 an error inside the plugin is raised where it happens, as a
// structured exception; what the call owns goes back when the host unwinds
// past the call's AbandonGuard, not before.
#include <gtest/gtest.h>

#include "plugin/boundary.h"
#include "plugin/plugin_api.h"
#include "testing/structured_exception_probe.h"

namespace {

constexpr DWORD kHostFault = 0xE0484F53;  // what a host might raise

TEST(BoundaryWin32Test, TheGuardReleasesTheCallWhenTheHostUnwinds) {
  struct Row {
    const char* name;
    void (*fail)();
    DWORD code;
    bool continuable;
  };
  const Row rows[] = {
      {"exhausted heap", [] { velmora::FailForLackOfMemory(); }, VELMORA_STATUS_NO_MEMORY, false},
      {"other error", [] { velmora::RaiseFailure(VELMORA_STATUS_FAILURE); }, VELMORA_STATUS_FAILURE,
       false},
      {"host fault", [] { RaiseException(kHostFault, 0, 0, nullptr); }, kHostFault, true},
  };
  for (const Row& row : rows) {
    int releases = 0;
    int releasesAtRaise = -1;
    const velmora::ProbeOutcome outcome = velmora::RunOnProbeThread(
        [&] {
          const velmora::AbandonGuard guard(
              [](void* count) noexcept { ++*static_cast<int*>(count); }, &releases);
          row.fail();
        },
        [&] { releasesAtRaise = releases; });
    EXPECT_TRUE(outcome.raised) << row.name;
    EXPECT_EQ(outcome.code, row.code) << row.name;
    EXPECT_EQ((outcome.flags & EXCEPTION_NONCONTINUABLE) == 0, row.continuable) << row.name;
    EXPECT_EQ(releasesAtRaise, 0) << row.name;
    EXPECT_EQ(releases, 1) << row.name;
  }
}

}  // namespace
