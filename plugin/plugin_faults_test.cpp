// Faults from below (an exhausted heap) and from above (host callbacks that
// throw), driven through the exports as a host calls them. Allocations are counted by the test binary's operator new.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "testing/fault_host.h"
#include "plugin/plugin_api.h"
#include "testing/plugin_loader.h"
#include "testing/test_allocator.h"

namespace {

using velmora::testing::FailNthAllocation;
using velmora::testing::LiveBlocks;
using velmora::testing::PluginLibrary;

using velmora::testing::Callback;
using velmora::testing::CallbackFault;
using velmora::testing::FaultyGetPage;
using velmora::testing::FaultyHost;
using velmora::testing::FaultyLog;
using velmora::testing::FaultyPostForm;
using velmora::testing::FaultySaveFile;
using velmora::testing::g_host;
using velmora::testing::kCallbackFaults;

const char* const kAnswer = velmora::testing::kFaultAnswer;
const char* const kLink = velmora::testing::kFaultLink;
const char kDumpDir[] = "/var/tmp/velmora-dumps/";

struct HostFault {};

// How one request ended.
struct Outcome {
  bool outOfMemory = false;
  bool hostFault = false;
  HostText result = nullptr;
};

class PluginFaultTest : public testing::Test {
 protected:
  void SetUp() override {
    g_host = FaultyHost();
    g_host.giveUp = [] { throw HostFault{}; };
    loadedFrom_ = LiveBlocks();
    ASSERT_TRUE(plugin_.Load());
  }
  void TearDown() override {
    // Everything the library kept (links, settings) goes with it.
    ASSERT_TRUE(plugin_.Unload());
    EXPECT_EQ(LiveBlocks(), loadedFrom_);
  }

  void Init(bool debug, const char* dumpDir = kDumpDir) {
    plugin_.init(FaultyGetPage, FaultyPostForm, FaultyLog, 0, FaultySaveFile, debug ? 1 : 0,
                 dumpDir);
  }

  Outcome Request() {
    Outcome outcome;
    try {
      outcome.result = plugin_.getDirectLink("link");
    } catch (const std::bad_alloc&) {
      outcome.outOfMemory = true;
    } catch (const HostFault&) {
      outcome.hostFault = true;
    }
    return outcome;
  }

  // Two requests bring the blocks the plugin keeps between requests to
  // their steady count (the action URL left in PluginState). Returns the
  // second result.
  HostText Settle() {
    Request();
    return Request().result;
  }

  PluginLibrary plugin_{VELMORA_PLUGIN_PATH};
  long long loadedFrom_ = 0;
};

struct Scenario {
  const char* what;
  bool debug;
  const char* answer;
  const char* expected;
};

const Scenario kScenarios[] = {
    {"link", false, kAnswer, kLink},
    {"link, debug", true, kAnswer, kLink},
    {"notfound, debug", true, "Invalid download link</b></p>", "%notfound%"},
    {"no link, debug", true, "<P>nothing to see</P>", ""},
};

// Fails the 1st, 2nd, 3rd ... allocation of a request until one completes
// untouched. Each failure must leave as std::bad_alloc, with no block lost,
// and the next request must be right.
TEST_F(PluginFaultTest, OutOfMemoryAtEveryAllocation) {
  for (const Scenario& row : kScenarios) {
    Init(row.debug);
    g_host.answer = row.answer;
    ASSERT_STREQ(Settle(), row.expected) << row.what;
    const bool issues = std::strcmp(row.expected, kLink) == 0;
    const long long baseline = LiveBlocks();
    long long issued = 0;
    long long nth = 1;
    for (;; ++nth) {
      Outcome failed;
      bool fired = false;
      {
        FailNthAllocation fail(nth);
        failed = Request();
        fired = fail.Fired();
      }
      if (!fired) {
        EXPECT_STREQ(failed.result, row.expected) << row.what;
        break;
      }
      const HostText next = Settle();
      issued += issues ? 2 : 0;
      const long long live = LiveBlocks();
      EXPECT_TRUE(failed.outOfMemory) << row.what << ", allocation " << nth;
      EXPECT_EQ(failed.result, nullptr) << row.what << ", allocation " << nth;
      EXPECT_STREQ(next, row.expected) << row.what << ", allocation " << nth;
      EXPECT_EQ(live, baseline + issued) << row.what << ", allocation " << nth;
      ASSERT_LT(nth, 100) << "a request should not need this many allocations";
    }
    std::printf("[ counts   ] %s: a warm request makes %lld allocations\n", row.what, nth - 1);
  }
}

// The same on the first request after loading; each round unloads and
// must give back every block.
TEST_F(PluginFaultTest, OutOfMemoryOnTheFirstRequestAfterLoad) {
  ASSERT_TRUE(plugin_.Unload());
  long long nth = 1;
  for (;; ++nth) {
    ASSERT_TRUE(plugin_.Load());
    Init(true);
    Outcome failed;
    bool fired = false;
    {
      FailNthAllocation fail(nth);
      failed = Request();
      fired = fail.Fired();
    }
    // Copied without allocating, before unloading frees the links.
    char next[64], result[64];
    std::snprintf(next, sizeof next, "%s", Request().result);
    std::snprintf(result, sizeof result, "%s", failed.result == nullptr ? "(none)" : failed.result);
    ASSERT_TRUE(plugin_.Unload());
    const long long live = LiveBlocks();
    if (!fired) {
      EXPECT_STREQ(result, kLink);
      break;
    }
    EXPECT_TRUE(failed.outOfMemory) << "allocation " << nth;
    EXPECT_STREQ(next, kLink) << "allocation " << nth;
    EXPECT_EQ(live, loadedFrom_) << "allocation " << nth;
    ASSERT_LT(nth, 100);
  }
  std::printf("[ counts   ] the first request after load makes %lld allocations\n", nth - 1);
  ASSERT_TRUE(plugin_.Load());
}

// A PlgInit that runs out of memory changes nothing.
TEST_F(PluginFaultTest, OutOfMemoryInInitKeepsTheEarlierSettings) {
  Init(true, "/earlier/");
  bool outOfMemory = false;
  {
    FailNthAllocation fail(1);
    try {
      plugin_.init(nullptr, nullptr, nullptr, 0, nullptr, 0, "/a/dump/dir/longer/than/that/");
    } catch (const std::bad_alloc&) {
      outOfMemory = true;
    }
  }
  EXPECT_TRUE(outOfMemory);
  EXPECT_STREQ(Request().result, kLink);
  EXPECT_STREQ(g_host.savedPath, "/earlier/Dornix.html");
}

// A callback that throws: the exception reaches the caller, nothing is
// lost, the next request is right.
TEST_F(PluginFaultTest, HostExceptionFromEachCallback) {
  Init(true);
  ASSERT_STREQ(Settle(), kLink);
  const long long baseline = LiveBlocks();
  long long issued = 0;
  for (const CallbackFault& row : kCallbackFaults) {
    velmora::testing::FaultAt(row);
    const Outcome failed = Request();
    g_host.faultAt = Callback::kNone;
    const HostText next = Settle();
    issued += 2;
    const long long live = LiveBlocks();
    EXPECT_TRUE(failed.hostFault) << row.what;
    EXPECT_EQ(failed.result, nullptr) << row.what;
    EXPECT_STREQ(next, kLink) << row.what;
    EXPECT_EQ(live, baseline + issued) << row.what;
  }
}

// A callback that calls back into the plugin on the same thread. Neither
// request may see the other's buffers.
struct Nesting {
  PluginLibrary::GetDirectLinkFn reenter = nullptr;
  Callback at = Callback::kNone;
  HostText innerResult = nullptr;
} g_nesting;

void Nest(Callback here) {
  if (here != g_nesting.at) return;
  g_nesting.innerResult = g_nesting.reenter("inner");
}

HostText VELMORA_CALL PageOfLink(const void* link) {
  const bool outer = std::strcmp(static_cast<const char*>(link), "outer") == 0;
  if (outer) Nest(Callback::kGetPage);
  return outer ? "<FORM ACTION=\"/outer/action/url\"><INPUT NAME=\"o\" VALUE=\"outer\"></FORM>"
               : "<FORM ACTION=\"/inner\"><INPUT NAME=\"i\" VALUE=\"inner\"></FORM>";
}
HostText VELMORA_CALL AnswerOfAction(HostText url, HostText params) {
  if (std::strcmp(url, "/outer/action/url") == 0) Nest(Callback::kPostForm);
  // Read after the inner request: its buffers must not have been ours.
  if (std::strcmp(url, "/outer/action/url") == 0 && std::strcmp(params, "o=outer\r\n") == 0) {
    return "Your download link HREF=\"outer-link\"";
  }
  if (std::strcmp(url, "/inner") == 0 && std::strcmp(params, "i=inner\r\n") == 0) {
    return "Your download link HREF=\"inner-link\"";
  }
  return "mixed up";
}

TEST_F(PluginFaultTest, RequestNestedInACallback) {
  plugin_.init(PageOfLink, AnswerOfAction, nullptr, 0, nullptr, 0, nullptr);
  g_nesting = Nesting();
  g_nesting.reenter = plugin_.getDirectLink;
  struct Row {
    const char* what;
    Callback at;
  };
  const Row rows[] = {
      {"in getPage", Callback::kGetPage},
      {"in postForm", Callback::kPostForm},
  };
  long long afterFirstRound = 0;
  long long issued = 0;
  for (int round = 0; round < 50; ++round) {
    for (const Row& row : rows) {
      g_nesting.at = row.at;
      g_nesting.innerResult = nullptr;
      const std::string outer = plugin_.getDirectLink("outer");
      issued += 2;
      EXPECT_EQ(outer, "outer-link") << row.what;
      EXPECT_STREQ(g_nesting.innerResult, "inner-link") << row.what;
    }
    if (round == 0) {
      afterFirstRound = LiveBlocks();
      issued = 0;
    }
  }
  EXPECT_EQ(LiveBlocks(), afterFirstRound + issued);
}

}  // namespace
