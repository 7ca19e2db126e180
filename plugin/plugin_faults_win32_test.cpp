// Faults a Win32 host meets, driven through the exports: callbacks that
// raise structured exceptions as a host written in another language does,
// a heap exhausted at each allocation in turn, and requests nested in
// callbacks. Block counts come from VelmoraFaultInjection.dll, the plugin
// built with a counting allocator; the shipped Velmora.plg is measured on
// the process heaps.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "testing/fault_host.h"
#include "testing/fault_injection.h"
#include "plugin/plugin_api.h"
#include "testing/plugin_loader.h"
#include "testing/structured_exception_probe.h"

namespace {

using velmora::ProbeOutcome;
using velmora::testing::PluginLibrary;
using GetDirectLinkFn = PluginLibrary::GetDirectLinkFn;

constexpr DWORD kHostFault = 0xE0484F53;  // what a host might raise

using velmora::testing::Callback;
using velmora::testing::CallbackFault;
using velmora::testing::FaultAt;
using velmora::testing::FaultyGetPage;
using velmora::testing::FaultyHost;
using velmora::testing::FaultyLog;
using velmora::testing::FaultyPostForm;
using velmora::testing::FaultySaveFile;
using velmora::testing::g_host;
using velmora::testing::kCallbackFaults;

const char* const kPage = velmora::testing::kFaultPage;
const char* const kAnswer = velmora::testing::kFaultAnswer;
const char* const kLink = velmora::testing::kFaultLink;
const char kDumpDir[] = "C:\\velmora\\dumps\\";  // too long to be stored in place

// How a host leaves a callback it gives up on: a structured exception, or
// the C runtime's longjmp, which unwinds the frame handlers it passes.
enum class Escape { kStructuredException, kLongjmp };
Escape g_escape = Escape::kStructuredException;
std::jmp_buf g_hostContinues;  // where the host resumes after a longjmp

void GiveUpAsTheHostDoes() {
  if (g_escape == Escape::kLongjmp) std::longjmp(g_hostContinues, 1);
  RaiseException(kHostFault, 0, 0, nullptr);
}

// A fresh host whose callbacks leave as g_escape says.
void ResetHost() {
  g_host = FaultyHost();
  g_host.giveUp = GiveUpAsTheHostDoes;
  g_escape = Escape::kStructuredException;
}

// How one request ended: with a result, or with a structured exception
// that the host caught.
struct Outcome {
  ProbeOutcome raised;
  HostText result = nullptr;
};

// The host's call, inside its __try.
Outcome CallCatching(GetDirectLinkFn getDirectLink, const char* link) {
  struct Call {
    GetDirectLinkFn getDirectLink;
    const char* link;
    HostText result;
  } call{getDirectLink, link, nullptr};
  const ProbeOutcome raised = velmora::CatchOnThisThread(
      [](void* raw) {
        auto* call = static_cast<Call*>(raw);
        call->result = call->getDirectLink(call->link);
      },
      &call);
  return {raised, call.result};
}

// The host's call with a setjmp to come back to; raised means it did.
Outcome CallWithSetjmp(GetDirectLinkFn getDirectLink, const char* link) {
  static HostText result;  // not on the stack that setjmp returns to
  result = nullptr;
  if (setjmp(g_hostContinues) != 0) return {{true, 0, 0}, nullptr};
  result = getDirectLink(link);
  return {{}, result};
}

// VelmoraFaultInjection.dll, loaded for each test, with its allocator.
class PluginFaultWin32Test : public testing::Test {
 protected:
  void SetUp() override {
    ResetHost();
    ASSERT_TRUE(Load());
  }
  void TearDown() override { EXPECT_TRUE(plugin_.Unload()); }

  bool Load() {
    if (!plugin_.Load()) return false;
    const auto control =
        reinterpret_cast<VelmoraTestAllocatorFn>(plugin_.FindExport(VELMORA_TEST_ALLOCATOR_EXPORT));
    allocator_ = control == nullptr ? nullptr : control();
    return allocator_ != nullptr;
  }

  void Init(bool debug, const char* dumpDir = kDumpDir) {
    plugin_.init(FaultyGetPage, FaultyPostForm, FaultyLog, 0, FaultySaveFile, debug ? 1 : 0, dumpDir);
  }
  Outcome Request() { return CallCatching(plugin_.getDirectLink, "link"); }
  // Two requests bring the blocks the plugin keeps between requests to
  // their steady count (the action URL left in PluginState). Returns the
  // second result.
  HostText Settle() {
    Request();
    return Request().result;
  }
  long long LiveBlocks() const { return allocator_->liveBlocks(); }

  // Runs the request with its nth allocation failing; fired tells whether
  // the request got that far.
  Outcome RequestFailingAt(long long nth, bool& fired) {
    allocator_->failAllocation(nth);
    const Outcome outcome = Request();
    fired = allocator_->allocationsSeen() >= nth;
    allocator_->failAllocation(0);
    return outcome;
  }

  PluginLibrary plugin_{VELMORA_FAULT_INJECTION_PATH};
  const VelmoraAllocatorControl* allocator_ = nullptr;
};

// The failure the boundary raises for an exhausted heap, and nothing else.
void ExpectNoMemory(const Outcome& failed, const std::string& what) {
  EXPECT_TRUE(failed.raised.raised) << what;
  EXPECT_EQ(failed.raised.code, static_cast<DWORD>(VELMORA_STATUS_NO_MEMORY)) << what;
  EXPECT_NE(failed.raised.flags & EXCEPTION_NONCONTINUABLE, 0u) << what;
  EXPECT_EQ(failed.result, nullptr) << what;
}

// A callback raises a structured exception: it reaches the host unchanged,
// the abandoned request leaves no block behind, the next request is right.
TEST_F(PluginFaultWin32Test, HostFaultFromEachCallback) {
  Init(true);
  ASSERT_STREQ(Settle(), kLink);
  const long long baseline = LiveBlocks();
  long long issued = 0;
  for (const CallbackFault& row : kCallbackFaults) {
    FaultAt(row);
    const Outcome failed = Request();
    g_host.faultAt = Callback::kNone;
    const HostText next = Settle();
    issued += 2;
    EXPECT_TRUE(failed.raised.raised) << row.what;
    EXPECT_EQ(failed.raised.code, kHostFault) << row.what;
    EXPECT_EQ(failed.result, nullptr) << row.what;
    EXPECT_STREQ(next, kLink) << row.what;
    EXPECT_EQ(LiveBlocks(), baseline + issued) << row.what;
  }
}

// The same for a host that longjmps out of the callback.
TEST_F(PluginFaultWin32Test, HostLongjmpOutOfEachCallback) {
  Init(true);
  ASSERT_STREQ(Settle(), kLink);
  const long long baseline = LiveBlocks();
  long long issued = 0;
  g_escape = Escape::kLongjmp;
  for (const CallbackFault& row : kCallbackFaults) {
    FaultAt(row);
    const Outcome failed = CallWithSetjmp(plugin_.getDirectLink, "link");
    g_host.faultAt = Callback::kNone;
    const HostText next = Settle();
    issued += 2;
    EXPECT_TRUE(failed.raised.raised) << row.what;
    EXPECT_STREQ(next, kLink) << row.what;
    EXPECT_EQ(LiveBlocks(), baseline + issued) << row.what;
  }
}

struct Scenario {
  const char* what;
  bool debug;
  const char* answer;
  const char* expected;
};

// Fails the 1st, 2nd, 3rd ... allocation of a request until one completes
// untouched. Each failure must leave as STATUS_NO_MEMORY, with no block
// lost, and the next request must be right.
TEST_F(PluginFaultWin32Test, OutOfMemoryAtEveryAllocation) {
  const Scenario scenarios[] = {
      {"link", false, kAnswer, kLink},
      {"link, debug", true, kAnswer, kLink},
      {"notfound, debug", true, "Invalid download link</b></p>", "%notfound%"},
      {"no link, debug", true, "<P>nothing to see</P>", ""},
  };
  for (const Scenario& row : scenarios) {
    Init(row.debug);
    g_host.answer = row.answer;
    ASSERT_STREQ(Settle(), row.expected) << row.what;
    const bool issues = std::strcmp(row.expected, kLink) == 0;
    const long long baseline = LiveBlocks();
    long long issued = 0;
    long long nth = 1;
    for (;; ++nth) {
      bool fired = false;
      const Outcome failed = RequestFailingAt(nth, fired);
      const std::string what = std::string(row.what) + ", allocation " + std::to_string(nth);
      if (!fired) {
        EXPECT_FALSE(failed.raised.raised) << what;
        EXPECT_STREQ(failed.result, row.expected) << what;
        break;
      }
      const HostText next = Settle();
      issued += issues ? 2 : 0;
      ExpectNoMemory(failed, what);
      EXPECT_STREQ(next, row.expected) << what;
      EXPECT_EQ(LiveBlocks(), baseline + issued) << what;
      ASSERT_LT(nth, 100) << "a request should not need this many allocations";
    }
    std::printf("[ counts   ] %s: a warm request makes %lld allocations\n", row.what, nth - 1);
  }
}

// The same on the first request after loading, each round in a freshly
// loaded library: it must end with the blocks of a round without failure,
// less the link the failed request did not issue.
TEST_F(PluginFaultWin32Test, OutOfMemoryOnTheFirstRequestAfterLoad) {
  Init(true);
  ASSERT_STREQ(Request().result, kLink);
  ASSERT_STREQ(Request().result, kLink);
  const long long unfailed = LiveBlocks();
  ASSERT_TRUE(plugin_.Unload());
  long long nth = 1;
  for (;; ++nth) {
    ASSERT_TRUE(Load());
    Init(true);
    bool fired = false;
    const Outcome failed = RequestFailingAt(nth, fired);
    const std::string what = "allocation " + std::to_string(nth);
    if (!fired) {
      EXPECT_STREQ(failed.result, kLink);
      break;
    }
    ExpectNoMemory(failed, what);
    EXPECT_STREQ(Request().result, kLink) << what;
    EXPECT_EQ(LiveBlocks(), unfailed - 1) << what;
    ASSERT_TRUE(plugin_.Unload()) << what;
    ASSERT_LT(nth, 100);
  }
  std::printf("[ counts   ] the first request after load makes %lld allocations\n", nth - 1);
}

// A PlgInit that runs out of memory raises STATUS_NO_MEMORY and changes
// nothing.
TEST_F(PluginFaultWin32Test, OutOfMemoryInInitKeepsTheEarlierSettings) {
  Init(true, "C:\\earlier\\");
  const long long before = LiveBlocks();
  struct Call {
    PluginLibrary::InitFn init;
    HostText result;
  } call{plugin_.init, nullptr};
  allocator_->failAllocation(1);
  const ProbeOutcome raised = velmora::CatchOnThisThread(
      [](void* raw) {
        auto* call = static_cast<Call*>(raw);
        call->result = call->init(nullptr, nullptr, nullptr, 0, nullptr, 0,
                                  "C:\\a\\dump\\dir\\longer\\than\\that\\");
      },
      &call);
  allocator_->failAllocation(0);
  ExpectNoMemory({raised, call.result}, "PlgInit");
  EXPECT_EQ(LiveBlocks(), before);
  EXPECT_STREQ(Request().result, kLink);
  EXPECT_STREQ(g_host.savedPath, "C:\\earlier\\Dornix.html");
}

// A callback that calls back into the plugin on the same thread; the inner
// request ends normally, or by a structured exception that the outer
// callback catches. Neither request may see the other's buffers.
enum class Inner { kResolves, kHostFault, kOutOfMemory };

struct Nesting {
  GetDirectLinkFn reenter = nullptr;
  const VelmoraAllocatorControl* allocator = nullptr;
  Callback at = Callback::kNone;
  Inner inner = Inner::kResolves;
  Outcome outcome;  // of the inner request
} g_nesting;

void Nest(Callback here) {
  if (here != g_nesting.at) return;
  // The 2nd allocation, the copy of the page: the inner request holds its
  // own memory by then.
  if (g_nesting.inner == Inner::kOutOfMemory) g_nesting.allocator->failAllocation(2);
  g_nesting.outcome = CallCatching(g_nesting.reenter, "inner");
  g_nesting.allocator->failAllocation(0);
}

HostText VELMORA_CALL PageOfLink(const void* link) {
  const bool outer = std::strcmp(static_cast<const char*>(link), "outer") == 0;
  if (outer) Nest(Callback::kGetPage);
  return outer ? "<FORM ACTION=\"/outer/action/url\"><INPUT NAME=\"o\" VALUE=\"outer\"></FORM>"
               : "<FORM ACTION=\"/inner\"><INPUT NAME=\"i\" VALUE=\"inner\"></FORM>";
}
HostText VELMORA_CALL AnswerOfAction(HostText url, HostText params) {
  const bool outer = std::strcmp(url, "/outer/action/url") == 0;
  if (outer) Nest(Callback::kPostForm);
  if (!outer && g_nesting.inner == Inner::kHostFault) RaiseException(kHostFault, 0, 0, nullptr);
  // Read after the inner request: its buffers must not have been ours.
  if (outer && std::strcmp(params, "o=outer\r\n") == 0) {
    return "Your download link HREF=\"outer-link\"";
  }
  if (std::strcmp(url, "/inner") == 0 && std::strcmp(params, "i=inner\r\n") == 0) {
    return "Your download link HREF=\"inner-link\"";
  }
  return "mixed up";
}

TEST_F(PluginFaultWin32Test, RequestNestedInACallback) {
  plugin_.init(PageOfLink, AnswerOfAction, nullptr, 0, nullptr, 0, nullptr);
  g_nesting = Nesting();
  g_nesting.reenter = plugin_.getDirectLink;
  g_nesting.allocator = allocator_;
  struct Row {
    const char* what;
    Callback at;
    Inner inner;
  };
  const Row rows[] = {
      {"in getPage", Callback::kGetPage, Inner::kResolves},
      {"in postForm", Callback::kPostForm, Inner::kResolves},
      {"in getPage, inner host fault", Callback::kGetPage, Inner::kHostFault},
      {"in postForm, inner host fault", Callback::kPostForm, Inner::kHostFault},
      {"in postForm, inner out of memory", Callback::kPostForm, Inner::kOutOfMemory},
  };
  long long afterFirstRound = 0;
  long long issued = 0;
  for (int round = 0; round < 50; ++round) {
    for (const Row& row : rows) {
      g_nesting.at = row.at;
      g_nesting.inner = row.inner;
      g_nesting.outcome = Outcome();
      const Outcome outer = CallCatching(plugin_.getDirectLink, "outer");
      issued += row.inner == Inner::kResolves ? 2 : 1;
      ASSERT_FALSE(outer.raised.raised) << row.what;
      ASSERT_STREQ(outer.result, "outer-link") << row.what;
      const Outcome& inner = g_nesting.outcome;
      switch (row.inner) {
        case Inner::kResolves:
          ASSERT_FALSE(inner.raised.raised) << row.what;
          ASSERT_STREQ(inner.result, "inner-link") << row.what;
          break;
        case Inner::kHostFault:
          ASSERT_TRUE(inner.raised.raised) << row.what;
          ASSERT_EQ(inner.raised.code, kHostFault) << row.what;
          break;
        case Inner::kOutOfMemory:
          ExpectNoMemory(inner, row.what);
          break;
      }
    }
    if (round == 0) {
      afterFirstRound = LiveBlocks();
      issued = 0;
    }
  }
  EXPECT_EQ(LiveBlocks(), afterFirstRound + issued);
}

// What the process holds, as seen from outside the plugin.
struct MemoryUse {
  std::size_t heapBytes = 0;  // busy blocks of every heap of the process
  std::size_t heapBlocks = 0;
  std::size_t committed = 0;  // committed private pages
};

MemoryUse MeasureMemory() {
  MemoryUse use;
  HANDLE heaps[256];
  const DWORD count = GetProcessHeaps(static_cast<DWORD>(std::size(heaps)), heaps);
  for (DWORD i = 0; i < count && i < std::size(heaps); ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
        use.heapBytes += entry.cbData;
        ++use.heapBlocks;
      }
    }
    HeapUnlock(heaps[i]);
  }
  MEMORY_BASIC_INFORMATION region;
  for (const char* address = nullptr;
       VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) use.committed += region.RegionSize;
  }
  return use;
}

// The shipped plugin, faulted 10,000 times in every callback in turn with
// a page and an answer so large that one lost request would show: the
// heaps end where they began, but for the two links the settling requests
// issue.
TEST(PluginHostFaultWin32Test, TenThousandFaultsLeaveMemoryFlat) {
  constexpr std::size_t kFiller = 96 * 1024;
  const std::string page = std::string(kPage) + std::string(kFiller, 'p');
  const std::string answer = std::string(kAnswer) + std::string(kFiller, 'a');
  ResetHost();
  g_host.page = page.c_str();
  g_host.answer = answer.c_str();
  PluginLibrary plugin(VELMORA_PLUGIN_PATH);
  ASSERT_TRUE(plugin.Load());
  plugin.init(FaultyGetPage, FaultyPostForm, FaultyLog, 0, FaultySaveFile, 1, kDumpDir);
  const auto settle = [&] {
    CallCatching(plugin.getDirectLink, "link");
    return CallCatching(plugin.getDirectLink, "link").result;
  };
  ASSERT_STREQ(settle(), kLink);

  constexpr int kFaults = 10000;
  const MemoryUse before = MeasureMemory();
  std::size_t highestHeap = before.heapBytes;
  int caught = 0;
  for (int i = 0; i < kFaults; ++i) {
    FaultAt(kCallbackFaults[i % std::size(kCallbackFaults)]);
    const Outcome failed = CallCatching(plugin.getDirectLink, "link");
    caught += failed.raised.raised && failed.raised.code == kHostFault ? 1 : 0;
    if (i % 500 == 0) highestHeap = std::max(highestHeap, MeasureMemory().heapBytes);
  }
  g_host.faultAt = Callback::kNone;
  const MemoryUse after = MeasureMemory();
  const HostText next = settle();
  const MemoryUse settled = MeasureMemory();

  EXPECT_EQ(caught, kFaults);
  EXPECT_STREQ(next, kLink);
  // One lost request alone would be more than kFiller bytes.
  EXPECT_EQ(after.heapBlocks, before.heapBlocks);
  EXPECT_LE(after.heapBytes, before.heapBytes + 1024);
  EXPECT_LT(highestHeap, before.heapBytes + kFiller);
  EXPECT_EQ(settled.heapBlocks, before.heapBlocks + 2);
  EXPECT_LT(after.committed, before.committed + 16 * kFiller);
  std::printf(
      "[ memory   ] %d host faults (%zu-byte page and answer): heap %zu bytes in %zu blocks "
      "before, %zu bytes in %zu blocks after (highest %zu); committed private %zu -> %zu KiB\n",
      kFaults, page.size(), before.heapBytes, before.heapBlocks, after.heapBytes,
      after.heapBlocks, highestHeap, before.committed / 1024, after.committed / 1024);
  EXPECT_TRUE(plugin.Unload());
}

}  // namespace
