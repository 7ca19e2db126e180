// velmora-host as a user runs it: a child process talking HTTP to a test
// site on 127.0.0.1 that records what it received.
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Received {
  std::string method;
  std::string target;  // path and query
  std::string body;
  std::string cookie;
  std::string contentType;
  std::string userAgent;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A site whose pages the test sets before Start(). A GET serves pages[path]
// and sets a session cookie; a POST answers answers[path]. Special pages:
// "REDIRECT target", "STATUS code", "SLEEP", "BIG".
class TestSite {
 public:
  std::map<std::string, std::string> pages;
  std::map<std::string, std::string> answers;

  void Start() {
    server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
      Record(request);
      Serve(pages, request, response);
      response.set_header("Set-Cookie", "sid=s3ss10n; Path=/");
    });
    server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      Record(request);
      Serve(answers, request, response);
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    for (int i = 0; i < 5000 && !server_.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~TestSite() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::vector<Received> received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  std::vector<Received> posts() {
    std::vector<Received> found;
    for (const Received& request : received()) {
      if (request.method == "POST") found.push_back(request);
    }
    return found;
  }

 private:
  void Record(const httplib::Request& request) {
    std::string target = request.path;
    if (!request.params.empty() && request.method == "GET") {
      target += "?";
      for (const auto& [name, value] : request.params) target += name + "=" + value + "&";
      target.pop_back();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back({request.method, target, request.body, request.get_header_value("Cookie"),
                         request.get_header_value("Content-Type"),
                         request.get_header_value("User-Agent")});
  }
  void Serve(const std::map<std::string, std::string>& texts, const httplib::Request& request,
             httplib::Response& response) const {
    const auto found = texts.find(request.path);
    if (found == texts.end()) {
      response.status = 404;
      return;
    }
    std::string text = found->second;
    const size_t port = text.find("{PORT}");
    if (port != std::string::npos) text.replace(port, 6, std::to_string(port_));
    if (text.rfind("REDIRECT ", 0) == 0) {
      response.set_redirect(text.substr(9));
    } else if (text.rfind("STATUS ", 0) == 0) {
      response.status = std::stoi(text.substr(7));
      response.set_content("error page", "text/html");
    } else if (text == "SLEEP") {
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      response.set_content("late", "text/html");
    } else if (text == "BIG") {
      response.set_content(std::string(5000, 'x'), "text/html");
    } else {
      response.set_content(text, "text/html");
    }
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::vector<Received> received_;
};

struct HostRun {
  int code = -1;
  std::string out;
  std::string err;
};

// A scratch folder per test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "velmora-host-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Runs velmora-host with args and input on stdin; killed after 60 s.
HostRun RunHost(const std::vector<std::string>& args, const std::string& input = "") {
  ScratchDir io;
  WriteAll(io.path() / "in", input);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string in = io.path() / "in", out = io.path() / "out", err = io.path() / "err";
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<std::string> all = {VELMORA_HOST_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  HostRun run;
  const int spawned = posix_spawn(&pid, VELMORA_HOST_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << VELMORA_HOST_PATH;
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "velmora-host did not finish in time";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadAll(out);
  run.err = ReadAll(err);
  return run;
}

std::string FormPage(const std::string& action, const std::string& inputs) {
  return "<HTML><BODY>\n<FORM METHOD=\"POST\" ACTION=\"" + action + "\">\n" + inputs +
         "</FORM>\n</BODY></HTML>\n";
}

const char kLinkAnswer[] =
    "<P>Your download link:</P>\n<A HREF=\"http://dl.files.example/get/42/a b.zip\">go</A>\n";
// As printed: a URL carries no raw space.
const char kLink[] = "http://dl.files.example/get/42/a%20b.zip";

// A port nobody listens on: bound, then closed.
int RefusedPort() {
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
  close(sock);
  return ntohs(address.sin_port);
}

TEST(HostEndToEndTest, PostsTheFormAsTheSiteExpects) {
  TestSite site;
  site.pages["/f/42"] = "REDIRECT /files/42/page.html";
  site.pages["/files/42/page.html"] = FormPage(
      "../dl.php",
      "<INPUT TYPE=\"hidden\" NAME=\"op\" VALUE=\"download2\">\n"
      "<INPUT TYPE=\"hidden\" NAME=\"id\" VALUE=\"42\">\n"
      "<INPUT TYPE=\"hidden\" NAME=\"fname\" VALUE=\"\xEE\xF2 a&b=c.zip\">\n"
      "<INPUT TYPE=\"hidden\" NAME=\"rand\" VALUE=\"\">\n"
      "<INPUT TYPE=\"submit\" NAME=\"method_free\" VALUE=\"Free Download\">\n"
      "<INPUT TYPE=\"submit\" NAME=\"method_premium\" VALUE=\"Premium\">\n");
  site.answers["/files/dl.php"] = kLinkAnswer;
  site.Start();

  const HostRun run = RunHost({"resolve", site.Url("/f/42")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, std::string(kLink) + "\n");
  EXPECT_EQ(run.err, "");

  const std::vector<Received> posts = site.posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].target, "/files/dl.php");  // relative to the page after the redirect
  EXPECT_EQ(posts[0].body,
            "op=download2&id=42&fname=%EE%F2%20a%26b%3Dc.zip&rand=&method_free=Free%20Download");
  EXPECT_EQ(posts[0].contentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(posts[0].cookie, "sid=s3ss10n");
  EXPECT_NE(posts[0].userAgent.find("Mozilla/5.0"), std::string::npos);
}

TEST(HostEndToEndTest, ResolvesTheFormActionAgainstThePage) {
  struct Row {
    std::string action;
    std::string postedTo;
  };
  const Row rows[] = {
      {"", "/files/7/page.html"},  // empty: the page itself, after redirects
      {"go", "/files/7/go"},
      {"/top/dl", "/top/dl"},
      {"../../up", "/up"},
      {"?step=2", "/files/7/page.html"},
      {"http://127.0.0.1:{PORT}/abs", "/abs"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/7"] = "REDIRECT /files/7/page.html";
    site.pages["/files/7/page.html"] = FormPage(row.action, "<INPUT NAME=\"id\" VALUE=\"7\">\n");
    site.answers[row.postedTo] = kLinkAnswer;
    site.Start();
    const HostRun run = RunHost({"resolve", site.Url("/f/7")});
    EXPECT_EQ(run.code, 0) << row.action << ": " << run.err;
    const std::vector<Received> posts = site.posts();
    ASSERT_EQ(posts.size(), 1u) << row.action;
    EXPECT_EQ(posts[0].target, row.postedTo) << row.action;
    EXPECT_EQ(posts[0].body, "id=7") << row.action;
  }
}

TEST(HostEndToEndTest, ResultKindsGiveTheirExitCodes) {
  struct Row {
    std::string answer;
    int code;
    std::string out;
    std::string message;
  };
  const Row rows[] = {
      {kLinkAnswer, 0, std::string(kLink) + "\n", ""},
      {"<P>Please wait 60 seconds.</P>", 1, "", "no download link found for"},
      {"<p><b>Invalid download link</b></p>", 2, "", "reports the link"},
      {"<p>Fehlerhafter Downloadlink</p>", 3, "", "as faulty"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/1"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
    site.answers["/dl"] = row.answer;
    site.Start();
    const HostRun run = RunHost({"resolve", site.Url("/f/1")});
    EXPECT_EQ(run.code, row.code) << row.answer;
    EXPECT_EQ(run.out, row.out) << row.answer;
    if (row.code != 0) {
      EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
      EXPECT_NE(run.err.find(site.Url("/f/1")), std::string::npos) << run.err;
    }
  }
}

TEST(HostEndToEndTest, TransferFailuresGiveExitCodeFour) {
  struct Row {
    std::string what;
    std::string url;  // a path on the site, or a whole URL
    std::vector<std::string> options;
    std::string reason;
  };
  const std::string refused = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/f/1";
  const Row rows[] = {
      {"unresolvable host", "http://files.velmora.invalid/f/1", {}, "Could not resolve host"},
      {"refused connection", refused, {}, "127.0.0.1"},
      {"status 404", "/missing", {}, "HTTP status 404"},
      {"status 500 on the POST", "/f/500", {}, "HTTP status 500"},
      {"timeout", "/slow", {"--timeout", "1"}, "timed out"},
      {"page over the cap", "/big", {"--max-page-bytes", "1000"}, "larger than the limit of 1000"},
      {"redirect loop", "/loop", {}, "Maximum (10) redirects"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/500"] = FormPage("/dl500", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
    site.answers["/dl500"] = "STATUS 500";
    site.pages["/slow"] = "SLEEP";
    site.pages["/big"] = "BIG";
    site.pages["/loop"] = "REDIRECT /loop";
    site.Start();
    const std::string url = row.url[0] == '/' ? site.Url(row.url) : row.url;
    std::vector<std::string> args = {"resolve", "--connect-timeout", "5"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(url);
    const auto started = std::chrono::steady_clock::now();
    const HostRun run = RunHost(args);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << row.what;
    EXPECT_EQ(run.code, 4) << row.what << ": " << run.err;
    EXPECT_EQ(run.out, "") << row.what;
    EXPECT_NE(run.err.find(url), std::string::npos) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.reason), std::string::npos) << row.what << ": " << run.err;
  }
}

TEST(HostEndToEndTest, UsageErrorsGiveSixtyFour) {
  struct Row {
    std::vector<std::string> args;
    std::string input;
    std::string message;
  };
  const Row rows[] = {
      {{"resolve", "ftp://files.example/f/1"}, "", "is not an http or https URL"},
      {{"resolve", "files.example/f/1"}, "", "is not an http or https URL"},
      {{"resolve", "http://files.example/a b"}, "", "is not an http or https URL"},
      {{"resolve", "-"}, "http://ok.example/1\nmailto:x@y.example\n", "mailto:x@y.example"},
      {{"resolve", "-"}, "\n\n", "no URL"},
      {{"resolve"}, "", "URL is required"},
      {{}, "", "subcommand"},
      {{"resolve", "--no-such-option", "http://a.example/"}, "", "no-such-option"},
      {{"resolve", "--timeout", "0", "http://a.example/"}, "", "timeout"},
  };
  for (const Row& row : rows) {
    const HostRun run = RunHost(row.args, row.input);
    EXPECT_EQ(run.code, 64) << row.message << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
  }
}

TEST(HostEndToEndTest, SeveralLinksFromStdinPrintOneLineEach) {
  TestSite site;
  site.pages["/f/ok"] = FormPage("/dl-ok", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl-ok"] = kLinkAnswer;
  site.pages["/f/gone"] = FormPage("/dl-gone", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
  site.answers["/dl-gone"] = "<b>Invalid download link</b></p>";
  site.Start();
  const std::string input = site.Url("/f/ok") + "\r\n\n  " + site.Url("/f/gone") + "\n";
  const HostRun run = RunHost({"resolve", "-"}, input);
  EXPECT_EQ(run.code, 2) << run.err;
  EXPECT_EQ(run.out, site.Url("/f/ok") + "\t" + kLink + "\n" + site.Url("/f/gone") +
                         "\tinvalid link\n");
  EXPECT_NE(run.err.find("1 of 2 links"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no progress bar without a terminal";
}

TEST(HostEndToEndTest, DebugLogsDecodedAndDumpsTheAnswer) {
  TestSite site;
  site.pages["/f/1"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  ScratchDir dumps;
  const fs::path dir = dumps.path() / "dumps";  // made when missing
  const HostRun run = RunHost({"resolve", "--debug", "--trace", "--dump-dir", dir.string(),
                           site.Url("/f/1")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ReadAll(dir / "Dornix.html"), kLinkAnswer);
  EXPECT_NE(run.err.find("Ссылка для POST: /dl"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Параметры POST:"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("[trace] POST " + site.Url("/dl")), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("body (4 bytes): id=1"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("status 200"), std::string::npos) << run.err;
}

TEST(HostEndToEndTest, ReplayGivesTheRecordedResultOffline) {
  ScratchDir scratch;
  const fs::path recording = scratch.path() / "rec";
  std::string url;
  HostRun recorded;
  {
    TestSite site;
    site.pages["/f/9"] = "REDIRECT /files/9.html";
    site.pages["/files/9.html"] = FormPage("dl", "<INPUT NAME=\"n\" VALUE=\"a b&c\">\n");
    site.answers["/files/dl"] = kLinkAnswer;
    site.Start();
    url = site.Url("/f/9");
    recorded = RunHost({"resolve", "--record", recording.string(), url});
    ASSERT_EQ(recorded.code, 0) << recorded.err;
  }  // the site is gone: replay must not need it

  const HostRun replayed = RunHost({"replay", recording.string()});
  EXPECT_EQ(replayed.code, 0) << replayed.err;
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(ReadAll(recording / "002-request.txt"), "n=a%20b%26c");

  // Recording again into the same folder would mix two runs.
  EXPECT_EQ(RunHost({"resolve", "--record", recording.string(), url}).code, 73);

  // The plugin now sends another body than the recording holds.
  WriteAll(recording / "002-request.txt", "n=a%20b%26d");
  HostRun mismatch = RunHost({"replay", recording.string()});
  EXPECT_EQ(mismatch.code, 5) << mismatch.err;
  EXPECT_EQ(mismatch.out, "");
  EXPECT_NE(mismatch.err.find("differs from the recording from byte 11"), std::string::npos)
      << mismatch.err;

  // Another action URL.
  std::string manifest = ReadAll(recording / "manifest.tsv");
  const size_t at = manifest.find("/files/dl\t");
  ASSERT_NE(at, std::string::npos) << manifest;
  manifest.replace(at, 9, "/files/dl2");
  WriteAll(recording / "manifest.tsv", manifest);
  mismatch = RunHost({"replay", recording.string()});
  EXPECT_EQ(mismatch.code, 5) << mismatch.err;
  EXPECT_NE(mismatch.err.find("the plugin asked for a POST to " + url.substr(0, url.size() - 4) +
                              "/files/dl, but the recording holds a POST to "),
            std::string::npos)
      << mismatch.err;

  EXPECT_EQ(RunHost({"replay", (scratch.path() / "none").string()}).code, 66);
}

TEST(HostEndToEndTest, ReplayKeepsTransferFailures) {
  ScratchDir scratch;
  const fs::path recording = scratch.path() / "rec";
  const HostRun recorded =
      RunHost({"resolve", "--record", recording.string(), "http://gone.velmora.invalid/f/1"});
  ASSERT_EQ(recorded.code, 4) << recorded.err;
  const HostRun replayed = RunHost({"replay", recording.string()});
  EXPECT_EQ(replayed.code, 4) << replayed.err;
  EXPECT_NE(replayed.err.find("Could not resolve host"), std::string::npos) << replayed.err;
}

TEST(HostEndToEndTest, DemoResolvesTheSampleLinks) {
  const HostRun run = RunHost({"demo"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("download link: http://dl.dornix.example/get/7Qx2/holiday-photos.zip"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("3 of 3 sample links gave the expected result"), std::string::npos);
}

TEST(HostEndToEndTest, MissingPluginIsReported) {
  const HostRun run = RunHost({"resolve", "--plugin", "/nonexistent/Velmora.plg", "http://a.example/"});
  EXPECT_EQ(run.code, 69);
  EXPECT_NE(run.err.find("cannot load the plugin /nonexistent/Velmora.plg"), std::string::npos)
      << run.err;
}

}  // namespace
