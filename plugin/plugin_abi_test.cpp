// Drives the built plugin only through its three exports, as a host does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "plugin/plugin_api.h"
#include "testing/plugin_loader.h"

extern "C" const char* VelmoraRunCHost(const char* pluginPath);

namespace {

using InitFn = velmora::testing::PluginLibrary::InitFn;
using GetDirectLinkFn = velmora::testing::PluginLibrary::GetDirectLinkFn;
using DestroyFn = velmora::testing::PluginLibrary::DestroyFn;

// What the host serves and what it saw; one host per process, like the real one.
struct HostRecord {
  std::string page;
  std::string answer;
  bool nullPage = false;
  std::vector<std::string> calls;
} g_host;

HostText VELMORA_CALL GetPage(const void* link) {
  g_host.calls.push_back(std::string("getPage ") + static_cast<const char*>(link));
  return g_host.nullPage ? nullptr : g_host.page.c_str();
}
HostText VELMORA_CALL PostForm(HostText url, HostText params) {
  g_host.calls.push_back(std::string("postForm ") + url + " | " + params);
  return g_host.answer.c_str();
}
void VELMORA_CALL Log(HostText message) { g_host.calls.push_back(std::string("log ") + message); }
void VELMORA_CALL SaveFile(HostText path, HostText content) {
  g_host.calls.push_back(std::string("saveFile ") + path + " | " + content);
}
HostText VELMORA_CALL OtherGetPage(const void*) {
  g_host.calls.push_back("other getPage");
  return "<FORM ACTION=\"/other\"><INPUT NAME=\"o\" VALUE=\"1\"></FORM>";
}
HostText VELMORA_CALL OtherPostForm(HostText url, HostText params) {
  g_host.calls.push_back(std::string("other postForm ") + url + " | " + params);
  return "Your download link HREF=\"other\"";
}

const char kPage[] =
    "<FORM ACTION=\"/dl\"><INPUT NAME=\"id\" VALUE=\"42\"><INPUT NAME=\"x\" "
    "VALUE=\"PREMIUM\"></FORM>";
const char kLink[] = "http://files.example/dl/42";

class PluginAbiTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin_.Load());
    init_ = plugin_.init;
    getDirectLink_ = plugin_.getDirectLink;
    destroy_ = plugin_.destroy;
    g_host = HostRecord();
    g_host.page = kPage;
    g_host.answer = std::string("<P>Your download link</P>\n<A HREF=\"") + kLink + "\">";
  }
  // Unloaded for real, so the next test starts from a freshly loaded state.
  void TearDown() override { EXPECT_TRUE(plugin_.Unload()); }

  HostText Init(uint32_t debugMode, HostText dumpDir = "/tmp/d-") {
    return init_(GetPage, PostForm, Log, 7, SaveFile, debugMode, dumpDir);
  }
  std::string Resolve(const char* link = "http://site/f/1") { return getDirectLink_(link); }

  velmora::testing::PluginLibrary plugin_{VELMORA_PLUGIN_PATH};
  InitFn init_ = nullptr;
  GetDirectLinkFn getDirectLink_ = nullptr;
  DestroyFn destroy_ = nullptr;
};

TEST_F(PluginAbiTest, UninitialisedAndDestroyedCallNothing) {
  HostText before = getDirectLink_("http://site/f/1");
  EXPECT_STREQ(before, "");
  Init(0);
  g_host.calls.clear();
  destroy_();
  destroy_();
  HostText after = getDirectLink_("http://site/f/1");
  EXPECT_STREQ(after, "");
  EXPECT_EQ(before, after);
  EXPECT_TRUE(g_host.calls.empty());
}

TEST_F(PluginAbiTest, InitReturnsTheSameBareHostName) {
  HostText first = Init(0);
  HostText second = init_(nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr);
  EXPECT_EQ(first, second);
  const std::string host = first;
  EXPECT_FALSE(host.empty());
  EXPECT_EQ(host.find('/'), std::string::npos);
  EXPECT_EQ(host.find(':'), std::string::npos);
  EXPECT_EQ(host.substr(host.size() - 8), ".example");
}

TEST_F(PluginAbiTest, FourKindsOfResult) {
  Init(0);
  HostText link = getDirectLink_("http://site/f/1");
  EXPECT_STREQ(link, kLink);
  HostText link2 = getDirectLink_("http://site/f/1");
  EXPECT_NE(link, link2);     // a new allocation every time
  EXPECT_STREQ(link, kLink);  // and the earlier one stays valid

  g_host.answer = "<p><b>Invalid download link</b></p>";
  HostText notFound = getDirectLink_("a");
  EXPECT_STREQ(notFound, "%notfound%");
  EXPECT_EQ(getDirectLink_("b"), notFound);

  g_host.answer = "Fehlerhafter Downloadlink";
  HostText deleted = getDirectLink_("a");
  EXPECT_STREQ(deleted, "%deleted%");
  EXPECT_EQ(getDirectLink_("b"), deleted);

  g_host.answer = "no link here";
  HostText empty = getDirectLink_("a");
  EXPECT_STREQ(empty, "");
  g_host.nullPage = true;
  EXPECT_EQ(getDirectLink_("b"), empty);

  g_host.nullPage = false;
  g_host.answer = "Your download link HREF=\"\"";
  HostText emptyLink = getDirectLink_("a");
  EXPECT_STREQ(emptyLink, "");
  EXPECT_NE(emptyLink, empty);  // found, though empty: not the constant
}

TEST_F(PluginAbiTest, CallbacksSeeTheExactBytes) {
  Init(1);
  Resolve("http://site/f/1");
  const std::vector<std::string> expected = {
      "getPage http://site/f/1",
      "log \xD1\xF1\xFB\xEB\xEA\xE0 \xE4\xEB\xFF POST: /dl",
      "log \xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB POST:\nid=42\r\n",
      "postForm /dl | id=42\r\n",
      "saveFile /tmp/d-Dornix.html | " + g_host.answer,
  };
  EXPECT_EQ(g_host.calls, expected);
}

TEST_F(PluginAbiTest, DebugModeLooksAtTheLowByteOnly) {
  struct Row {
    uint32_t value;
    bool debug;
  };
  for (const Row row : {Row{1, true}, Row{257, true}, Row{0xFFFFFF01u, true}, Row{0, false},
                        Row{2, false}, Row{255, false}, Row{256, false}}) {
    Init(row.value);
    g_host.calls.clear();
    EXPECT_EQ(Resolve(), kLink);
    EXPECT_EQ(g_host.calls.size(), row.debug ? 5u : 2u) << row.value;
  }
}

TEST_F(PluginAbiTest, NullDumpDirIsEmpty) {
  Init(1, nullptr);
  Resolve();
  EXPECT_EQ(g_host.calls.back().rfind("saveFile Dornix.html | ", 0), 0u);
}

TEST_F(PluginAbiTest, ReinitReplacesEverything) {
  Init(1, "/first/");
  ASSERT_EQ(Resolve(), kLink);
  std::string dir = "/second/";
  init_(OtherGetPage, OtherPostForm, nullptr, 0, nullptr, 0, dir.c_str());
  dir.assign("overwritten");  // the plugin keeps its own copy
  g_host.calls.clear();
  EXPECT_EQ(Resolve(), "other");
  EXPECT_EQ(g_host.calls,
            (std::vector<std::string>{"other getPage", "other postForm /other | o=1\r\n"}));

  Init(1, dir.c_str());
  g_host.calls.clear();
  Resolve();
  EXPECT_EQ(g_host.calls.back().rfind("saveFile overwrittenDornix.html", 0), 0u);
}

TEST_F(PluginAbiTest, DestroyThenInitWorksAgain) {
  Init(0);
  destroy_();
  EXPECT_STREQ(getDirectLink_("x"), "");
  Init(0);
  EXPECT_EQ(Resolve(), kLink);
}

TEST_F(PluginAbiTest, DebugOffNeverLogsOrSaves) {
  Init(0);
  for (const char* answer : {"Fehlerhafter Downloadlink", "Invalid download link</b></p>", "",
                             "Your download link HREF=\"x\""}) {
    g_host.answer = answer;
    g_host.calls.clear();
    Resolve();
    for (const std::string& call : g_host.calls) {
      EXPECT_NE(call.rfind("log", 0), 0u);
      EXPECT_NE(call.rfind("saveFile", 0), 0u);
    }
  }
}

// The same exports as a host written in C calls them (plugin_api_test.c).
TEST(PluginCHostTest, CallsTheThreeExports) {
  EXPECT_STREQ(VelmoraRunCHost(VELMORA_PLUGIN_PATH), "");
}

}  // namespace
