// Overlapping calls: many threads resolve their own links at once while
// another thread keeps replacing the settings. Every request must see only
// its own page, POST and answer, and one PlgInit's callbacks and settings.
// The same test runs natively (under ThreadSanitizer too) and on Win32.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/plugin_api.h"
#include "testing/plugin_loader.h"
#include "testing/test_thread.h"

namespace {

using velmora::testing::PluginLibrary;
using velmora::testing::TestThread;

constexpr int kThreads = 8;
constexpr int kCallsPerThread = 2000;
const char* const kDumpDirs[] = {"/dump-debug/", "/dump-quiet/"};

struct Call {
  int thread;
  int index;
};

std::string Tag(const Call& call) {
  return "t" + std::to_string(call.thread) + "/c" + std::to_string(call.index);
}

// What the host sees of the request running on this thread.
struct CallRecord {
  const Call* call = nullptr;
  int settings = -1;  // which PlgInit's callbacks served getPage
  int logs = 0;
  int saves = 0;
  std::string page, answer, problem;
};
thread_local CallRecord t_record;

void Problem(const std::string& what) {
  if (t_record.problem.empty()) t_record.problem = Tag(*t_record.call) + ": " + what;
}

std::string AnswerFor(const Call& call) {
  switch (call.index % 4) {
    case 0: return "<P>Your download link</P>\n<A HREF=\"http://files.example/" + Tag(call) + "\">";
    case 1: return "<p><b>Invalid download link</b></p>";
    case 2: return "Fehlerhafter Downloadlink";
    default: return "<P>" + Tag(call) + " is busy</P>";
  }
}

std::string ResultFor(const Call& call) {
  const char* const kFixed[] = {nullptr, "%notfound%", "%deleted%", ""};
  if (call.index % 4 == 0) return "http://files.example/" + Tag(call);
  return kFixed[call.index % 4];
}

// Settings 0: debug on; settings 1: debug off. Each set has its own
// callbacks, so a request that mixed two PlgInits would show.
template <int kSettings>
HostText VELMORA_CALL GetPage(const void* link) {
  if (link != t_record.call) Problem("getPage got another call's link");
  if (t_record.settings != -1) Problem("getPage called twice");
  t_record.settings = kSettings;
  const std::string tag = Tag(*t_record.call);
  t_record.page = "<FORM ACTION=\"/" + tag + "\"><INPUT NAME=\"id\" VALUE=\"" + tag +
                  "\"><INPUT NAME=\"plan\" VALUE=\"Premium-" + tag + "\"></FORM>";
  return t_record.page.c_str();
}

template <int kSettings>
HostText VELMORA_CALL PostForm(HostText url, HostText params) {
  const std::string tag = Tag(*t_record.call);
  if (kSettings != t_record.settings) Problem("postForm of other settings");
  if (url != "/" + tag) Problem(std::string("POST URL ") + url);
  if (params != "id=" + tag + "\r\n") Problem(std::string("POST params ") + params);
  if (kSettings == 0 && t_record.logs != 2) Problem("POST before the two log lines");
  t_record.answer = AnswerFor(*t_record.call);
  return t_record.answer.c_str();
}

template <int kSettings>
void VELMORA_CALL Log(HostText message) {
  if (kSettings != 0 || t_record.settings != 0) Problem("log of other settings");
  if (++t_record.logs == 1 && std::strstr(message, Tag(*t_record.call).c_str()) == nullptr) {
    Problem(std::string("log ") + message);
  }
}

template <int kSettings>
void VELMORA_CALL SaveFile(HostText path, HostText content) {
  ++t_record.saves;
  if (kSettings != 0 || t_record.settings != 0) Problem("saveFile of other settings");
  if (std::string(path) != std::string(kDumpDirs[0]) + "Dornix.html") {
    Problem(std::string("dump path ") + path);
  }
  if (content != t_record.answer) Problem("dump of another answer");
}

void InitWith(const PluginLibrary& plugin, int settings) {
  if (settings == 0) {
    plugin.init(GetPage<0>, PostForm<0>, Log<0>, 0, SaveFile<0>, 1, kDumpDirs[0]);
  } else {
    plugin.init(GetPage<1>, PostForm<1>, Log<1>, 1, SaveFile<1>, 0, kDumpDirs[1]);
  }
}

// Runs one thread's calls; returns the first problem, or "".
std::string RunCalls(const PluginLibrary& plugin, const std::vector<Call>& calls) {
  for (const Call& call : calls) {
    t_record = CallRecord();
    t_record.call = &call;
    const std::string result = plugin.getDirectLink(&call);
    if (result != ResultFor(call)) Problem("result " + result);
    // Every page keeps its id field after the filter, so every call POSTs.
    const bool debug = t_record.settings == 0;
    if (t_record.logs != (debug ? 2 : 0)) Problem("wrong number of log lines");
    const bool dumped = debug && (call.index % 4 == 0 || call.index % 4 == 3);
    if (t_record.saves != (dumped ? 1 : 0)) Problem("wrong number of dumps");
    if (!t_record.problem.empty()) return t_record.problem;
  }
  return "";
}

TEST(PluginStressTest, EightThreadsWhileSettingsChange) {
  PluginLibrary plugin(VELMORA_PLUGIN_PATH);
  ASSERT_TRUE(plugin.Load());
  InitWith(plugin, 0);

  std::vector<std::vector<Call>> calls(kThreads);
  for (int thread = 0; thread < kThreads; ++thread) {
    for (int index = 0; index < kCallsPerThread; ++index) calls[thread].push_back({thread, index});
  }
  std::vector<std::string> problems(kThreads);
  std::atomic<int> running{kThreads};
  std::atomic<int> inits{0};
  const auto start = std::chrono::steady_clock::now();

  TestThread reinit([&] {
    // In bursts: a yield may cost a whole round of the workers' time slices.
    for (int settings = 1; running.load() > 0; settings ^= 1) {
      InitWith(plugin, settings);
      if (inits.fetch_add(1) % 64 == 63) TestThread::YieldNow();
    }
  });
  std::vector<TestThread> workers;
  workers.reserve(kThreads);
  for (int thread = 0; thread < kThreads; ++thread) {
    workers.emplace_back([&, thread] {
      problems[thread] = RunCalls(plugin, calls[thread]);
      running.fetch_sub(1);
    });
  }
  for (TestThread& worker : workers) worker.Join();
  reinit.Join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  for (int thread = 0; thread < kThreads; ++thread) {
    EXPECT_EQ(problems[thread], "") << "thread " << thread;
  }
  std::printf("[ timing   ] %d x %d calls with %d PlgInit meanwhile: %.3f s\n", kThreads,
              kCallsPerThread, inits.load(), seconds);
  EXPECT_TRUE(plugin.Unload());
}

}  // namespace
