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

#include <sys/stat.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "testing/json_schema.h"

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
  std::string testHeader;  // X-Test
  std::string range;
  std::string referer;
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
// "REDIRECT target", "STATUS code", "SLEEP", "BIG", "HANG" (until the site
// stops), "GZIP" (5000 bytes sent as 40), "NOLOCATION" (a 302 without one),
// "HEADER Name: value\n..." (one more header, then the rest), "DELAY ms\n..."
// (waits, then the rest), "TURNS a\n--next--\nb": the first request gets a,
// later ones b. Files: any other text honours Range; "CUT n\ntext" drops
// the connection at byte n (a request from n on gets the rest);
// "NORANGE\ntext" ignores Range (200, chunked).
class TestSite {
 public:
  std::map<std::string, std::string> pages;
  std::map<std::string, std::string> answers;

  void Start() {
    // Every job of a batch keeps connections open: threads enough for them.
    server_.new_task_queue = [] { return new httplib::ThreadPool(64); };
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
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
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
  // The most requests the site answered at one time.
  int mostAtOnce() {
    std::lock_guard<std::mutex> lock(mutex_);
    return mostAtOnce_;
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
                         request.get_header_value("User-Agent"),
                         request.get_header_value("X-Test"), request.get_header_value("Range"),
                         request.get_header_value("Referer")});
  }
  // Counts the requests under way while it lives.
  struct AtOnce {
    TestSite& site;
    explicit AtOnce(TestSite& s) : site(s) {
      std::lock_guard<std::mutex> lock(site.mutex_);
      site.mostAtOnce_ = std::max(site.mostAtOnce_, ++site.atOnce_);
    }
    ~AtOnce() {
      std::lock_guard<std::mutex> lock(site.mutex_);
      --site.atOnce_;
    }
  };
  void Serve(const std::map<std::string, std::string>& texts, const httplib::Request& request,
             httplib::Response& response) {
    AtOnce counted(*this);
    const auto found = texts.find(request.path);
    if (found == texts.end()) {
      response.status = 404;
      return;
    }
    std::string text = found->second;
    const size_t port = text.find("{PORT}");
    if (port != std::string::npos) text.replace(port, 6, std::to_string(port_));
    if (text.rfind("TURNS ", 0) == 0) {
      int turn = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        turn = turns_[request.method + request.path]++;
      }
      text = text.substr(6);
      for (size_t next; turn > 0 && (next = text.find("\n--next--\n")) != std::string::npos; --turn) {
        text = text.substr(next + 10);
      }
      text = text.substr(0, text.find("\n--next--\n"));
    }
    while (text.rfind("HEADER ", 0) == 0 || text.rfind("DELAY ", 0) == 0) {
      const size_t colon = text.find(": "), end = text.find('\n');
      if (text[0] == 'D') {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(text.substr(6))));
      } else {
        response.set_header(text.substr(7, colon - 7).c_str(),
                            text.substr(colon + 2, end - colon - 2));
      }
      text = text.substr(end + 1);
    }
    if (text.rfind("CUT ", 0) == 0) {
      const size_t cut = std::stoul(text.substr(4));
      auto file = std::make_shared<std::string>(text.substr(text.find('\n') + 1));
      response.set_content_provider(
          file->size(), "application/octet-stream",
          [file, cut](size_t offset, size_t length, httplib::DataSink& sink) {
            if (offset < cut) {
              sink.write(file->data() + offset, cut - offset);
              return false;  // the connection goes down
            }
            sink.write(file->data() + offset, length);
            return true;
          });
      return;
    }
    if (text.rfind("NORANGE\n", 0) == 0) {
      auto file = std::make_shared<std::string>(text.substr(8));
      response.status = 200;
      response.set_chunked_content_provider(
          "application/octet-stream", [file](size_t, httplib::DataSink& sink) {
            sink.write(file->data(), file->size());
            sink.done();
            return true;
          });
      return;
    }
    if (text == "HANG") {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, std::chrono::seconds(30), [this] { return stopping_; });
      response.set_content("late", "text/html");
    } else if (text == "GZIP") {
      static const char kGzip[] =
          "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xed\xc1\x31\x01\x00\x00\x00\xc2\xa0"
          "\xda\x8b\x6f\x0a\x3f\xa0\x00\x00\x00\x00\x80\xb7\x01\x26\xf0\xdb\x00\x88\x13\x00\x00";
      response.set_header("Content-Encoding", "gzip");
      // Not text, so that the server does not compress it once more.
      response.set_content(kGzip, sizeof kGzip - 1, "application/octet-stream");
    } else if (text == "NOLOCATION") {
      response.status = 302;
      response.set_content("moved", "text/html");
    } else if (text.rfind("REDIRECT ", 0) == 0) {
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
  std::condition_variable wake_;
  bool stopping_ = false;
  std::map<std::string, int> turns_;
  std::vector<Received> received_;
  int atOnce_ = 0;
  int mostAtOnce_ = 0;
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

// A velmora-host child; stdout goes to a file, or to stdoutPath.
struct HostProcess {
  pid_t pid = -1;
  std::unique_ptr<ScratchDir> io;
  std::string out, err;
};

HostProcess StartHost(const std::vector<std::string>& args, const std::string& input = "",
                      const std::string& stdoutPath = "") {
  HostProcess process;
  process.io = std::make_unique<ScratchDir>();
  const fs::path& io = process.io->path();
  WriteAll(io / "in", input);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string in = io / "in";
  process.out = stdoutPath.empty() ? std::string(io / "out") : stdoutPath;
  process.err = io / "err";
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, process.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, process.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<std::string> all = {VELMORA_HOST_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int spawned =
      posix_spawn(&process.pid, VELMORA_HOST_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << VELMORA_HOST_PATH;
    process.pid = -1;
  }
  return process;
}

// Waits for the child; kills it after 60 s.
HostRun FinishHost(HostProcess& process) {
  HostRun run;
  if (process.pid < 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (waitpid(process.pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(process.pid, SIGKILL);
      waitpid(process.pid, &status, 0);
      ADD_FAILURE() << "velmora-host did not finish in time";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (process.out.rfind("/dev/", 0) != 0) run.out = ReadAll(process.out);
  run.err = ReadAll(process.err);
  return run;
}

// Runs velmora-host with args and input on stdin.
HostRun RunHost(const std::vector<std::string>& args, const std::string& input = "",
                const std::string& stdoutPath = "") {
  HostProcess process = StartHost(args, input, stdoutPath);
  return FinishHost(process);
}

// The first control byte in text that is not in allowed, or -1.
int RawControl(const std::string& text, const std::string& allowed) {
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 || u == 0x7F) && allowed.find(c) == std::string::npos) return u;
  }
  return -1;
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
      {{"resolve", "-"}, "http://ok.velmora.invalid/1\nmailto:x@y.example\n", "mailto:x@y.example"},
      {{"resolve", "-"}, "\n\n", "no URL"},
      {{"resolve"}, "", "needs a URL"},
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

TEST(HostEndToEndTest, DemoResolvesTheSampleLinksAndGetsTheFile) {
  ScratchDir scratch;
  const HostRun run = RunHost({"demo", "-o", scratch.path().string()});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("download link: http://dl.dornix.example/get/7Qx2/holiday-photos.zip"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("3 of 3 sample links gave the expected result"), std::string::npos);
  const std::string file = ReadAll(scratch.path() / "holiday-photos.zip");
  EXPECT_EQ(file.substr(0, 4), "PK\x05\x06");  // a zip archive
  EXPECT_NE(run.out.find("saved to: " + (scratch.path() / "holiday-photos.zip").string() +
                         "\n  size:     " + std::to_string(file.size()) + " bytes\n  SHA-256:  "),
            std::string::npos)
      << run.out;
}

TEST(HostEndToEndTest, MissingPluginIsReported) {
  const HostRun run = RunHost({"resolve", "--plugin", "/nonexistent/Velmora.plg", "http://a.example/"});
  EXPECT_EQ(run.code, 69);
  EXPECT_NE(run.err.find("cannot load the plugin /nonexistent/Velmora.plg"), std::string::npos)
      << run.err;
}


// Records the one-link run of url into dir (the site redirects once, then
// takes a POST), for tests that then tamper with the recording.
std::string RecordOneLink(const fs::path& dir) {
  TestSite site;
  site.pages["/f/9"] = "REDIRECT /files/9.html";
  site.pages["/files/9.html"] = FormPage("dl", "<INPUT NAME=\"n\" VALUE=\"a b&c\">\n");
  site.answers["/files/dl"] = kLinkAnswer;
  site.Start();
  const HostRun recorded = RunHost({"resolve", "--record", dir.string(), site.Url("/f/9")});
  EXPECT_EQ(recorded.code, 0) << recorded.err;
  return site.Url("/f/9");
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from << " not in " << text;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(HostEndToEndTest, RecordingWritesOnlyNewFilesInANewOrEmptyFolder) {
  struct Row {
    std::string what;
    std::function<void(const fs::path& rs, const fs::path& scratch)> prepare;
    std::vector<std::string> options;
    int code;
    std::string message;
    bool folderKept;  // rs exists afterwards (it did before, or the run made it)
  };
  const Row rows[] = {
      {"a link to a victim inside",
       [](const fs::path& rs, const fs::path& scratch) {
         fs::create_directory(rs);
         fs::create_symlink(scratch / "victim", rs / "001-response.html");
       },
       {}, 73, "is not empty", true},
      {"a dangling link inside",
       [](const fs::path& rs, const fs::path& scratch) {
         fs::create_directory(rs);
         fs::create_symlink(scratch / "made-by-link", rs / "manifest.tsv");
       },
       {}, 73, "is not empty", true},
      {"a used folder", [](const fs::path& rs, const fs::path&) {
         fs::create_directory(rs);
         WriteAll(rs / "notes.txt", "mine");
       },
       {}, 73, "is not empty", true},
      {"--dump-dir names a file, new folder", [](const fs::path&, const fs::path&) {},
       {"--dump-dir", "VICTIM"}, 73, "dump folder", false},
      {"--dump-dir names a file, empty folder",
       [](const fs::path& rs, const fs::path&) { fs::create_directory(rs); },
       {"--dump-dir", "VICTIM"}, 73, "dump folder", true},
      {"no plugin", [](const fs::path&, const fs::path&) {},
       {"--plugin", "/nonexistent/Velmora.plg"}, 69, "cannot load the plugin", false},
  };
  TestSite site;
  site.pages["/f/1"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  for (const Row& row : rows) {
    ScratchDir scratch;
    const fs::path rs = scratch.path() / "rs";
    WriteAll(scratch.path() / "victim", "precious");
    row.prepare(rs, scratch.path());
    const bool wasEmpty = fs::exists(rs) && fs::is_empty(rs);
    std::vector<std::string> args = {"resolve", "--record", rs.string()};
    for (const std::string& option : row.options) {
      args.push_back(option == "VICTIM" ? (scratch.path() / "victim").string() : option);
    }
    args.push_back(site.Url("/f/1"));
    const HostRun run = RunHost(args);
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
    EXPECT_EQ(ReadAll(scratch.path() / "victim"), "precious") << row.what;
    EXPECT_FALSE(fs::exists(scratch.path() / "made-by-link")) << row.what;
    EXPECT_EQ(fs::exists(rs), row.folderKept) << row.what;
    if (wasEmpty) {
      EXPECT_TRUE(fs::is_empty(rs)) << row.what << ": nothing is left behind";
    }
  }
}

TEST(HostEndToEndTest, ReplayReadsOnlyRegularFilesInsideTheRecording) {
  ScratchDir scratch;
  const fs::path original = scratch.path() / "rec";
  RecordOneLink(original);
  const fs::path secret = scratch.path() / "secret";
  WriteAll(secret, "SECRET-CONTENT");
  using Change = std::function<void(const fs::path&)>;
  const Change linkOut = [&](const fs::path& rec) {
    fs::remove(rec / "002-response.html");
    fs::create_symlink(secret, rec / "002-response.html");
  };
  const Change hardLink = [&](const fs::path& rec) {
    fs::remove(rec / "002-response.html");
    fs::create_hard_link(secret, rec / "002-response.html");
  };
  const Change folder = [&](const fs::path& rec) {
    fs::remove(rec / "002-response.html");
    fs::create_directory(rec / "002-response.html");
  };
  const Change pipe = [&](const fs::path& rec) {
    fs::remove(rec / "002-response.html");
    mkfifo((rec / "002-response.html").c_str(), 0600);
  };
  const Change manifestLink = [&](const fs::path& rec) {
    fs::rename(rec / "manifest.tsv", scratch.path() / "elsewhere.tsv");
    fs::create_symlink(scratch.path() / "elsewhere.tsv", rec / "manifest.tsv");
  };
  auto editManifest = [](std::function<std::string(std::string)> edit) {
    return [edit](const fs::path& rec) {
      WriteAll(rec / "manifest.tsv", edit(ReadAll(rec / "manifest.tsv")));
    };
  };
  const std::string shown = kLink;
  struct Row {
    std::string what;
    Change change;
    int code;
    std::string message;
  };
  const Row rows[] = {
      {"a response linked to a file outside", linkOut, 66, "is a symbolic link"},
      {"a response hard-linked to a file outside", hardLink, 66, "has other names"},
      {"a folder as response", folder, 66, "002-response.html is not a regular file"},
      {"a pipe as response", pipe, 66, "002-response.html is not a regular file"},
      {"a linked manifest", manifestLink, 66, "is a symbolic link"},
      {"a name leaving the folder",
       editManifest([](std::string m) { return Replaced(m, "002-response.html", "../secret"); }),
       66, "bad file name \"../secret\""},
      {"a torn last line",
       editManifest([](std::string m) { return m.substr(0, m.size() - 8); }), 0,
       "is incomplete (the recording run was cut short there) and is ignored"},
      {"format 1, as written before",
       editManifest([](std::string m) {
         m = Replaced(m, "velmora-recording\t2", "velmora-recording\t1");
         return std::regex_replace(m, std::regex("\t[0-9]+\t[0-9]+\n"), "\n");
       }),
       0, ""},
      {"another recorded link, with control bytes",
       editManifest([&](std::string m) {
         return Replaced(m, "result\tlink\t" + shown, "result\tlink\thttp://x/\x1b[2J\x07");
       }),
       0, "when recorded, "},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const fs::path rec = scratch.path() / ("rec" + std::to_string(i));
    const fs::path dumps = scratch.path() / ("dumps" + std::to_string(i));
    fs::copy(original, rec);
    row.change(rec);
    const HostRun run = RunHost({"replay", "--debug", "--dump-dir", dumps.string(), rec.string()});
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
    EXPECT_EQ(RawControl(run.err, "\n"), -1) << row.what << ": " << run.err;
    EXPECT_EQ(run.err.find("SECRET"), std::string::npos) << row.what;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dumps, ignored)) {
      EXPECT_EQ(ReadAll(entry.path()).find("SECRET"), std::string::npos) << row.what;
    }
    if (row.code == 0) {
      EXPECT_EQ(run.out, shown + "\n") << row.what;
    }
  }
  // The note on a changed result names the link given now, too.
  const HostRun changed = RunHost({"replay", (scratch.path() / "rec8").string()});
  EXPECT_NE(changed.err.find("gave link http://x/%1B[2J%07; the plugin now gives link " + shown),
            std::string::npos)
      << changed.err;
}

TEST(HostEndToEndTest, NoSiteByteReachesTheOutputRaw) {
  struct Row {
    std::string what;
    std::string page;    // of /f/1; its form posts to /dl
    std::string answer;  // of /dl
    int code;
    std::string result;  // the RESULT column for /f/1
  };
  const std::string form = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  const Row rows[] = {
      {"a link forging lines and escapes", form,
       "Your download link: <A HREF=\"http://dl.example/a\r\nhttp://forged.example/\tx\x1b[2J\x07\x9b\">",
       0, "http://dl.example/a%0D%0Ahttp://forged.example/%09x%1B[2J%07%9B"},
      {"a file: link", form, "Your download link: <A HREF=\"file:///etc/shadow\">", 6, "bad link"},
      {"a relative link", form, "Your download link: <A HREF=\"get/1\">", 6, "bad link"},
      {"an action with escapes", FormPage("ftp://\x1b[31mx", "<INPUT NAME=\"a\" VALUE=\"\x1b]0;t\x07\">\n"),
       kLinkAnswer, 4, "transfer error"},
      {"headers with escapes", "HEADER X-Evil: \x1b]0;owned\x07\n" + form, kLinkAnswer, 0, kLink},
      {"a redirect with escapes", "REDIRECT /next\x1b[2J", kLinkAnswer, 4, "transfer error"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/1"] = row.page;
    site.answers["/dl"] = row.answer;
    site.pages["/f/2"] = FormPage("/dl2", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
    site.answers["/dl2"] = kLinkAnswer;
    site.Start();
    ScratchDir scratch;
    const std::string rec = (scratch.path() / "rec").string();
    const std::string input = site.Url("/f/1") + "\n" + site.Url("/f/2") + "\n";
    const HostRun run = RunHost({"resolve", "--debug", "--trace", "--dump-dir",
                                 (scratch.path() / "d").string(), "--record", rec, "-"},
                                input);
    EXPECT_EQ(run.code, std::max(row.code, 0)) << row.what << ": " << run.err;
    EXPECT_EQ(run.out, site.Url("/f/1") + "\t" + row.result + "\n" + site.Url("/f/2") + "\t" +
                           kLink + "\n")
        << row.what;
    EXPECT_EQ(RawControl(run.err, "\n"), -1) << row.what << ": " << run.err;
    const HostRun replayed = RunHost({"replay", "--trace", "--debug", "--dump-dir",
                                      (scratch.path() / "d2").string(), rec});
    EXPECT_EQ(replayed.out, run.out) << row.what << ": " << replayed.err;
    EXPECT_EQ(RawControl(replayed.err, "\n"), -1) << row.what << ": " << replayed.err;
  }
}

TEST(HostEndToEndTest, ReplayKeepsEachLinksOwnExchanges) {
  TestSite site;
  site.pages["/f/1"] = "REDIRECT /files/1.html";
  site.pages["/files/1.html"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] = std::string("TURNS ") + kLinkAnswer +
                        "\n--next--\n<b>Invalid download link</b></p>";
  site.Start();
  ScratchDir scratch;
  const std::string rec = (scratch.path() / "rec").string();
  const std::string url = site.Url("/f/1");
  const HostRun recorded = RunHost({"resolve", "--record", rec, "-"}, url + "\n" + url + "\n");
  ASSERT_EQ(recorded.out, url + "\t" + kLink + "\n" + url + "\tinvalid link\n") << recorded.err;
  const HostRun replayed = RunHost({"replay", "--trace", rec});
  EXPECT_EQ(replayed.code, 2) << replayed.err;
  EXPECT_EQ(replayed.out, recorded.out) << replayed.err;
  EXPECT_NE(replayed.err.find("from " + site.Url("/files/1.html") + " after 1 redirect"),
            std::string::npos)
      << replayed.err;
}

TEST(HostEndToEndTest, FailedWritesGiveTheirExitCodes) {
  struct Row {
    std::string what;
    std::function<void(const fs::path& dumps, const fs::path& scratch)> prepare;
    std::string stdoutPath;
    int code;
    std::string message;
  };
  const Row rows[] = {
      {"the dump file is a folder",
       [](const fs::path& dumps, const fs::path&) { fs::create_directories(dumps / "Dornix.html"); },
       "", 73, "cannot write the debug dump"},
      {"the dump file links elsewhere",
       [](const fs::path& dumps, const fs::path& scratch) {
         fs::create_directories(dumps);
         fs::create_symlink(scratch / "victim", dumps / "Dornix.html");
       },
       "", 73, "is a symbolic link"},
      {"stdout is full", [](const fs::path&, const fs::path&) {}, "/dev/full", 74,
       "cannot write standard output"},
  };
  TestSite site;
  site.pages["/f/1"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  for (const Row& row : rows) {
    ScratchDir scratch;
    const fs::path dumps = scratch.path() / "dumps";
    WriteAll(scratch.path() / "victim", "precious");
    row.prepare(dumps, scratch.path());
    const HostRun run =
        RunHost({"resolve", "--debug", "--dump-dir", dumps.string(), site.Url("/f/1")}, "",
                row.stdoutPath);
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
    EXPECT_EQ(ReadAll(scratch.path() / "victim"), "precious") << row.what;
  }
}

TEST(HostEndToEndTest, SignalsKeepAUsableRecording) {
  struct Row {
    int signal;
    std::string jobs;
    size_t posts;  // under way when the signal comes
    std::string out, replayed, message, kept;
  };
  // ok, slow (its answer never comes), ok: one at a time the third never
  // starts; three at once it finishes, and the signal stops the slow one.
  const Row rows[] = {
      {SIGINT, "1", 2, "L\nS\tinterrupted\n", "L\nS\trecording incomplete\n", "after 1 of 3 links",
       "keeps 1 finished link(s) and the interrupted one"},
      {SIGTERM, "1", 2, "L\nS\tinterrupted\n", "L\nS\trecording incomplete\n", "after 1 of 3 links",
       "keeps 1 finished link(s) and the interrupted one"},
      {SIGINT, "3", 3, "L\nS\tinterrupted\nL\n", "L\nS\trecording incomplete\nL\n",
       "after 2 of 3 links", "keeps 2 finished link(s) and the interrupted one"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/ok"] = FormPage("/dl-ok", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
    site.answers["/dl-ok"] = kLinkAnswer;
    site.pages["/f/slow"] = FormPage("/dl-slow", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
    site.answers["/dl-slow"] = "HANG";
    site.Start();
    ScratchDir scratch;
    const fs::path rec = scratch.path() / "rec";
    const std::string input =
        site.Url("/f/ok") + "\n" + site.Url("/f/slow") + "\n" + site.Url("/f/ok") + "\n";
    auto lines = [&](std::string text) {
      text = std::regex_replace(text, std::regex("L\n"), site.Url("/f/ok") + "\t" + kLink + "\n");
      return std::regex_replace(text, std::regex("S\t"), site.Url("/f/slow") + "\t");
    };
    HostProcess process =
        StartHost({"resolve", "--jobs", row.jobs, "--record", rec.string(), "-"}, input);
    for (int i = 0; i < 1000 && site.posts().size() < row.posts; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(site.posts().size(), row.posts);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last ok one finishes
    kill(process.pid, row.signal);
    const HostRun run = FinishHost(process);
    EXPECT_EQ(run.code, 128 + row.signal) << run.err;
    EXPECT_EQ(run.out, lines(row.out));
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(row.kept), std::string::npos) << run.err;
    const std::string manifest = ReadAll(rec / "manifest.tsv");
    EXPECT_NE(manifest.find("result\tinterrupted\t-\n"), std::string::npos) << manifest;

    const HostRun replayed = RunHost({"replay", rec.string()});
    EXPECT_EQ(replayed.code, 7) << replayed.err;
    EXPECT_EQ(replayed.out, lines(row.replayed));
    EXPECT_NE(replayed.err.find("its run was interrupted"), std::string::npos) << replayed.err;
  }
}

TEST(HostEndToEndTest, ABatchIsABatchWhateverItsLength) {
  TestSite site;
  site.pages["/f/ok"] = FormPage("/dl-ok", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl-ok"] = kLinkAnswer;
  site.pages["/f/two"] = FormPage("/dl-two", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
  site.answers["/dl-two"] = "<P>Please wait.</P>";
  site.Start();
  ScratchDir scratch;
  const std::string list = "# my links\n\n  " + site.Url("/f/ok") + " \r\nmailto:x@y.example\n";
  WriteAll(scratch.path() / "list", list);
  struct Row {
    std::vector<std::string> args;
    std::string input;
    int code;
    std::string out;
  };
  const std::string ok = site.Url("/f/ok") + "\t" + kLink + "\n";
  const Row rows[] = {
      {{"resolve", "-"}, list, 64, ok + "mailto:x@y.example\tbad URL\n"},
      {{"resolve", "-a", (scratch.path() / "list").string()}, "", 64,
       ok + "mailto:x@y.example\tbad URL\n"},
      {{"resolve", "--batch-file", "-"}, site.Url("/f/ok") + "\n", 0, ok},
      {{"resolve", "-a", (scratch.path() / "none").string()}, "", 66, ""},
  };
  for (const Row& row : rows) {
    const HostRun run = RunHost(row.args, row.input);
    EXPECT_EQ(run.code, row.code) << row.args.back() << ": " << run.err;
    EXPECT_EQ(run.out, row.out) << row.args.back();
    if (row.code == 64) {
      EXPECT_NE(run.err.find("line 4: \"mailto:x@y.example\" is not an http or https URL"),
                std::string::npos)
          << run.err;
    }
  }
  // With --debug each link of a batch dumps to its own file.
  const fs::path dumps = scratch.path() / "dumps";
  const HostRun debug = RunHost({"resolve", "--debug", "--dump-dir", dumps.string(), "-"},
                                site.Url("/f/ok") + "\n" + site.Url("/f/two") + "\n");
  EXPECT_EQ(ReadAll(dumps / "001-Dornix.html"), kLinkAnswer) << debug.err;
  EXPECT_EQ(ReadAll(dumps / "002-Dornix.html"), "<P>Please wait.</P>") << debug.err;
  EXPECT_NE(debug.err.find("saved to " + (dumps / "002-Dornix.html").string()), std::string::npos)
      << debug.err;
}

// The JSON schema documented in host/README.md.
nlohmann::json DocumentedSchema() {
  return velmora::testing::SchemaInReadme(ReadAll(VELMORA_HOST_README), "### JSON output");
}

TEST(HostEndToEndTest, JsonLinesFollowTheDocumentedSchema) {
  TestSite site;
  site.pages["/f/ok"] = "REDIRECT /f/ok2";
  site.pages["/f/ok2"] = FormPage("/dl-ok", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl-ok"] = kLinkAnswer;
  site.pages["/f/gone"] = FormPage("/dl-gone", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
  site.answers["/dl-gone"] = "<b>Invalid download link</b></p>";
  site.pages["/f/file"] = FormPage("/dl-file", "<INPUT NAME=\"id\" VALUE=\"3\">\n");
  site.answers["/dl-file"] = "Your download link: <A HREF=\"file:///etc/shadow\x1b\">";
  site.Start();
  ScratchDir scratch;
  const fs::path dumps = scratch.path() / "d";
  const std::string input = site.Url("/f/ok") + "\n" + site.Url("/f/gone") + "\nnot a url\n" +
                            site.Url("/missing") + "\n" + site.Url("/f/file") + "\n";
  const HostRun run = RunHost({"resolve", "--json", "--debug", "--dump-dir", dumps.string(), "-"},
                              input);
  EXPECT_EQ(run.code, 64) << run.err;
  const nlohmann::json schema = DocumentedSchema();
  std::vector<nlohmann::json> lines;
  size_t start = 0;
  for (size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(run.out.substr(start, end - start)));
    EXPECT_EQ(velmora::testing::SchemaFault(schema, lines.back(), "line " + std::to_string(lines.size())), "");
  }
  ASSERT_EQ(lines.size(), 5u) << run.out;
  EXPECT_EQ(RawControl(run.out, "\n"), -1);
  const char* outcomes[] = {"link", "notfound", "bad-url", "transfer-error", "bad-link"};
  const int codes[] = {0, 2, 64, 4, 6};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["outcome"], outcomes[i]) << lines[i];
    EXPECT_EQ(lines[i]["exit_code"], codes[i]) << lines[i];
    EXPECT_EQ(lines[i]["line"], i + 1 + (i >= 3 ? 0 : 0)) << lines[i];
  }
  EXPECT_EQ(lines[0]["link"], kLink);
  EXPECT_EQ(lines[0]["exchanges"][0]["redirects"], 1);
  EXPECT_EQ(lines[0]["exchanges"][1]["method"], "POST");
  EXPECT_EQ(lines[4]["link"], "file:///etc/shadow%1B");
  // Each link of a batch has its own dump file, named in its report.
  EXPECT_EQ(lines[0]["dump"], (dumps / "001-Dornix.html").string());
  EXPECT_EQ(ReadAll(dumps / "001-Dornix.html"), kLinkAnswer);
  EXPECT_NE(ReadAll(dumps / "005-Dornix.html").find("file:///etc/shadow"), std::string::npos);
  EXPECT_NE(run.err.find("answer page saved to " + (dumps / "005-Dornix.html").string()),
            std::string::npos)
      << run.err;
}

TEST(HostEndToEndTest, TraceSaysWhatWentOverTheWire) {
  struct Row {
    std::string what;
    std::string page;  // of /p
    std::vector<std::string> options;
    int code;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const std::string form = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  const Row rows[] = {
      {"gzip", "GZIP", {}, 1, {"received 40 bytes (5000 after decoding)", "< Content-Encoding: gzip"}, {}},
      {"a refused redirect", "REDIRECT file:///etc/passwd", {}, 4,
       {"the redirect to file:///etc/passwd was not followed"}, {"from file:", "no download link"}},
      {"a 302 without Location", "NOLOCATION", {}, 4, {"HTTP status 302 but named no Location"},
       {"no download link"}},
      {"cookies masked", form, {}, 0, {"< Set-Cookie: sid=***; Path=/", "> Cookie: sid=***"},
       {"s3ss10n"}},
      {"cookies shown", form, {"--trace-cookies"}, 0, {"> Cookie: sid=s3ss10n"}, {}},
      {"headers of each hop", "REDIRECT /p2", {}, 1,
       {"> GET /p HTTP/1.1", "< Location: /p2", "redirect 1 to ", "> GET /p2 HTTP/1.1"}, {}},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/p"] = row.page;
    site.pages["/p2"] = "<P>nothing</P>";
    site.answers["/dl"] = kLinkAnswer;
    site.Start();
    std::vector<std::string> args = {"resolve", "--trace"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(site.Url("/p"));
    const HostRun run = RunHost(args);
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    for (const std::string& text : row.present) {
      EXPECT_NE(run.err.find(text), std::string::npos) << row.what << ": " << text << "\n" << run.err;
    }
    for (const std::string& text : row.absent) {
      EXPECT_EQ(run.err.find(text), std::string::npos) << row.what << ": " << text << "\n" << run.err;
    }
  }
  // --dump-dir alone turns the dump on rather than being ignored.
  TestSite site;
  site.pages["/p"] = form;
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  ScratchDir dumps;
  EXPECT_EQ(RunHost({"resolve", "--dump-dir", dumps.path().string(), site.Url("/p")}).code, 0);
  EXPECT_EQ(ReadAll(dumps.path() / "Dornix.html"), kLinkAnswer);
}

TEST(HostEndToEndTest, NetworkOptionsReachTheSite) {
  struct Row {
    std::string what;
    std::string page;  // of /p; its form posts to /dl
    std::vector<std::string> options;
    int code;
    size_t gets;  // requests of /p
    std::string message;
  };
  const std::string form = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  const Row rows[] = {
      {"a 503, then the page", "TURNS STATUS 503\n--next--\n" + form, {"--retries", "2"}, 0, 2, ""},
      {"a 503 without retries", "TURNS STATUS 503\n--next--\n" + form, {}, 4, 1, "status 503"},
      {"a 404 is not retried", "STATUS 404", {"--retries", "3"}, 4, 1, "status 404"},
      {"a deadline for the link", "SLEEP", {"--deadline", "1", "--retries", "5"}, 4, 1,
       "the deadline of 1 seconds for this link passed"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/p"] = row.page;
    site.answers["/dl"] = kLinkAnswer;
    site.Start();
    std::vector<std::string> args = {"resolve"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(site.Url("/p"));
    const auto started = std::chrono::steady_clock::now();
    const HostRun run = RunHost(args);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << row.what;
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
    size_t gets = 0;
    for (const Received& request : site.received()) gets += request.target == "/p";
    EXPECT_EQ(gets, row.gets) << row.what;
  }

  // Identity, extra headers and a cookie file that is read and written.
  TestSite site;
  site.pages["/p"] = form;
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  ScratchDir scratch;
  const fs::path cookies = scratch.path() / "cookies.txt";
  WriteAll(cookies, "127.0.0.1\tFALSE\t/\tFALSE\t0\tmine\tkept\n");
  const HostRun run = RunHost({"resolve", "--user-agent", "VelmoraTest/1", "--header",
                               "X-Test: hello", "--cookies", cookies.string(), site.Url("/p")});
  EXPECT_EQ(run.code, 0) << run.err;
  const std::vector<Received> received = site.received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].userAgent, "VelmoraTest/1");
  EXPECT_EQ(received[1].testHeader, "hello");
  EXPECT_NE(received[0].cookie.find("mine=kept"), std::string::npos);
  EXPECT_NE(ReadAll(cookies).find("sid\ts3ss10n"), std::string::npos) << ReadAll(cookies);
  EXPECT_EQ(RunHost({"resolve", "--header", "X-Bad\r\nInjected: 1", site.Url("/p")}).code, 64);

  // A proxy gets the request for a name nobody here resolves.
  const HostRun proxied =
      RunHost({"resolve", "--proxy", site.Url(""), "http://files.velmora.test/p"});
  EXPECT_EQ(proxied.code, 4) << proxied.err;  // the "proxy" knows no such page
  bool sawProxied = false;
  for (const Received& request : site.received()) {
    sawProxied |= request.target.find("/p") != std::string::npos && request.method == "GET" &&
                  proxied.err.find("404") != std::string::npos;
  }
  EXPECT_TRUE(sawProxied) << proxied.err;
}

TEST(HostEndToEndTest, VersionAndHelpSayWhatTheyShould) {
  const HostRun version = RunHost({"--version"});
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_TRUE(std::regex_search(version.out, std::regex("^velmora-host [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  EXPECT_TRUE(std::regex_search(version.out, std::regex("Velmora\\.plg, build id [0-9a-f]{40}\n")))
      << version.out;
  EXPECT_NE(version.out.find("libcurl "), std::string::npos) << version.out;

  // Every exit code of the README's table is in the help text.
  const std::string readme = ReadAll(VELMORA_HOST_README);
  const std::string help = RunHost({"--help"}).out + RunHost({"resolve", "--help"}).out;
  const std::regex row("\n\\| ([0-9]+) \\|");
  size_t codes = 0;
  for (auto it = std::sregex_iterator(readme.begin(), readme.end(), row);
       it != std::sregex_iterator(); ++it) {
    ++codes;
    const std::string code = (*it)[1];
    EXPECT_TRUE(std::regex_search(help, std::regex("\n +" + code + "  "))) << code;
  }
  EXPECT_GE(codes, 16u);
}

}  // namespace

namespace {

// A file page at /f/ID whose form gives a link to href on the site itself,
// which serves file at path (href decoded).
void AddFilePage(TestSite& site, const std::string& id, const std::string& href,
                 const std::string& path, const std::string& file) {
  site.pages["/f/" + id] = FormPage("/dl/" + id, "<INPUT NAME=\"id\" VALUE=\"" + id + "\">\n");
  const std::string link = href.rfind("file:", 0) == 0 ? href : "http://127.0.0.1:{PORT}" + href;
  site.answers["/dl/" + id] = "Your download link: <A HREF=\"" + link + "\">";
  if (!path.empty()) site.pages[path] = file;
}

std::string Listing(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += "0123456789abcdef"[digest[i] >> 4];
    hex += "0123456789abcdef"[digest[i] & 15];
  }
  return hex;
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> lines;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(out.substr(start, end - start)));
  }
  return lines;
}

std::string Pattern(size_t size, int seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + seed) % 251);
  return text;
}

TEST(HostGetTest, NamesTheFileSafelyAndWritesOnlyThere) {
  struct Row {
    std::string what;
    std::string headers;  // before the file's bytes
    std::string href;
    std::string path;
    int code;
    std::string name;  // saved in the folder; empty: nothing is
  };
  const auto disposition = [](const std::string& value) {
    return "HEADER Content-Disposition: " + value + "\n";
  };
  const Row rows[] = {
      {"filename=", disposition("attachment; filename=\"report 2024.pdf\""), "/files/1",
       "/files/1", 0, "report 2024.pdf"},
      {"filename*=", disposition("attachment; filename=\"x.txt\"; filename*=UTF-8''%E2%82%AC.txt"),
       "/files/2", "/files/2", 0, "\xE2\x82\xAC.txt"},
      {"the URL", "", "/files/a%20b.zip", "/files/a b.zip", 0, "a b.zip"},
      {"../../x", disposition("attachment; filename=\"../../x\""), "/files/3", "/files/3", 0, "x"},
      {"a/b", disposition("attachment; filename=\"a/b\""), "/files/4", "/files/4", 0, "b"},
      {"control bytes", disposition("attachment; filename=\"a\x1b[2Jb\x07.txt\""), "/files/5",
       "/files/5", 0, "a_[2Jb_.txt"},
      {"CON", disposition("attachment; filename=\"CON\""), "/files/6", "/files/6", 0, "_CON"},
      {"a bad link", "", "file:///etc/passwd", "", 6, ""},
      {"a missing file", "", "/files/none", "", 8, ""},
      {"a redirect to file:", "REDIRECT file:///etc/passwd", "/files/7", "/files/7", 8, ""},
  };
  for (const Row& row : rows) {
    TestSite site;
    const std::string content = "bytes of " + row.what;
    AddFilePage(site, "1", row.href, row.path, row.headers + content);
    site.Start();
    ScratchDir scratch;
    const fs::path out = scratch.path() / "out";  // made when missing
    const HostRun run = RunHost({"get", "-o", out.string(), site.Url("/f/1")});
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_EQ(RawControl(run.err, "\n"), -1) << row.what << ": " << run.err;
    EXPECT_EQ(Listing(scratch.path()), "out") << row.what;
    EXPECT_EQ(Listing(out), row.name) << row.what;
    if (row.name.empty()) continue;
    EXPECT_EQ(run.out, (out / row.name).string() + "\n") << row.what;
    EXPECT_EQ(ReadAll(out / row.name), content) << row.what;
    EXPECT_NE(run.err.find("saved " + (out / row.name).string()), std::string::npos) << run.err;
    // As a browser: the cookies of the page and the answer page as referrer.
    const Received fetched = site.received().back();
    EXPECT_EQ(fetched.cookie, "sid=s3ss10n") << row.what;
    EXPECT_EQ(fetched.referer, site.Url("/dl/1")) << row.what;
  }
}

TEST(HostGetTest, ResumesCutTransfersAndNeverOverwrites) {
  const std::string content = Pattern(10000, 1);
  TestSite site;
  AddFilePage(site, "cut", "/files/big.bin", "/files/big.bin", "CUT 4000\n" + content);
  AddFilePage(site, "plain", "/files/plain.bin", "/files/plain.bin", content);
  AddFilePage(site, "norange", "/files/x.bin", "/files/x.bin", "NORANGE\n" + content);
  site.Start();
  ScratchDir scratch;
  const fs::path out = scratch.path();
  auto get = [&](const std::string& id, std::vector<std::string> options) {
    std::vector<std::string> args = {"get", "--json", "-o", out.string()};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(site.Url("/f/" + id));
    const HostRun run = RunHost(args);
    const std::vector<nlohmann::json> lines = JsonLines(run.out);
    EXPECT_EQ(lines.size(), 1u) << run.out << run.err;
    return std::make_pair(run, lines.empty() ? nlohmann::json() : lines[0]);
  };

  // Cut halfway: no file, the .part kept, the size said.
  auto [cut, cutJson] = get("cut", {});
  EXPECT_EQ(cut.code, 8) << cut.err;
  EXPECT_EQ(cutJson["outcome"], "download-error");
  EXPECT_EQ(cutJson["download"]["partial"], (out / "big.bin.part").string());
  EXPECT_EQ(cutJson["download"]["path"], nullptr);
  EXPECT_EQ(cutJson["download"]["expected_size"], 10000);
  EXPECT_NE(cut.err.find("cut off after 4000 of 10000 bytes"), std::string::npos) << cut.err;
  EXPECT_NE(cut.err.find("big.bin.part keeps 4000 bytes for --continue"), std::string::npos);
  EXPECT_EQ(Listing(out), "big.bin.part");
  // --continue asks for the rest only.
  auto [resumed, resumedJson] = get("cut", {"-c"});
  EXPECT_EQ(resumed.code, 0) << resumed.err;
  EXPECT_TRUE(ReadAll(out / "big.bin") == content);
  EXPECT_EQ(resumedJson["download"]["resumed_from"], 4000);
  EXPECT_EQ(resumedJson["download"]["sha256"], Sha256Hex(content));
  EXPECT_EQ(site.received().back().range, "bytes=4000-");
  EXPECT_EQ(Listing(out), "big.bin");
  // With --retries the same run goes on from the cut.
  const fs::path retried = scratch.path() / "retried";
  const HostRun retry = RunHost({"get", "--json", "--retries", "1", "-o", retried.string(),
                                 site.Url("/f/cut")});
  EXPECT_EQ(retry.code, 0) << retry.err;
  EXPECT_TRUE(ReadAll(retried / "big.bin") == content);
  const std::vector<nlohmann::json> retryJson = JsonLines(retry.out);
  ASSERT_EQ(retryJson.size(), 1u);
  EXPECT_EQ(retryJson[0]["download"]["attempts"], 2);
  EXPECT_EQ(retryJson[0]["download"]["resumed_from"], 4000);
  fs::remove_all(retried);

  // A server that ignores Range: the .part starts over.
  WriteAll(out / "x.bin.part", std::string(3000, 'Z'));
  auto [ignored, ignoredJson] = get("norange", {"--continue"});
  EXPECT_EQ(ignored.code, 0) << ignored.err;
  EXPECT_TRUE(ReadAll(out / "x.bin") == content);
  EXPECT_EQ(ignoredJson["download"]["resumed_from"], 0);
  EXPECT_EQ(ignoredJson["download"]["sha256"], Sha256Hex(content));

  // An existing file stays; so does an earlier .part without --continue,
  // and a .part that links elsewhere is not followed even with it.
  WriteAll(out / "plain.bin", "mine");
  WriteAll(out / "plain (1).bin.part", content.substr(0, 7));  // from an earlier run
  WriteAll(out / "victim", "precious");
  fs::create_symlink(out / "victim", out / "plain (2).bin.part");
  auto [kept, keptJson] = get("plain", {"-c"});
  EXPECT_EQ(kept.code, 0) << kept.err;
  EXPECT_EQ(keptJson["download"]["path"], (out / "plain (1).bin").string()) << keptJson;
  EXPECT_EQ(ReadAll(out / "plain.bin"), "mine");
  EXPECT_TRUE(ReadAll(out / "plain (1).bin") == content);  // the earlier .part, resumed
  auto [again, againJson] = get("plain", {});
  EXPECT_EQ(againJson["download"]["path"], (out / "plain (3).bin").string()) << againJson;
  EXPECT_EQ(ReadAll(out / "victim"), "precious");
  auto [replaced, replacedJson] = get("plain", {"--overwrite"});
  EXPECT_EQ(replaced.code, 0) << replaced.err;
  EXPECT_TRUE(ReadAll(out / "plain.bin") == content);
  EXPECT_EQ(Listing(out), "big.bin,plain (1).bin,plain (2).bin.part,plain (3).bin,plain.bin,"
                          "victim,x.bin");
}

TEST(HostGetTest, ParallelBatchesComeBackInOrder) {
  constexpr int kLinks = 12;
  TestSite site;
  std::string input;
  std::vector<std::string> contents;
  for (int i = 0; i < kLinks; ++i) {
    const std::string id = std::to_string(i);
    contents.push_back(Pattern(1000 + static_cast<size_t>(i) * 3000, i));
    AddFilePage(site, id, "/files/" + id + ".bin", "/files/" + id + ".bin", contents.back());
    // The first links take longest: they finish last.
    site.pages["/f/" + id] = "DELAY " + std::to_string((kLinks - i) * 40) + "\n" +
                             site.pages["/f/" + id];
  }
  site.Start();
  for (int i = 0; i < kLinks; ++i) input += site.Url("/f/" + std::to_string(i)) + "\n";
  input += "not a link\n";
  ScratchDir scratch;
  const HostRun run =
      RunHost({"get", "--jobs", "8", "--json", "-o", scratch.path().string(), "-"}, input);
  EXPECT_EQ(run.code, 64) << run.err;
  const std::vector<nlohmann::json> lines = JsonLines(run.out);
  ASSERT_EQ(lines.size(), kLinks + 1u) << run.out;
  const nlohmann::json schema = DocumentedSchema();
  for (int i = 0; i < kLinks; ++i) {
    const nlohmann::json& line = lines[static_cast<size_t>(i)];
    EXPECT_EQ(velmora::testing::SchemaFault(schema, line, "line " + std::to_string(i + 1)), "");
    EXPECT_EQ(line["url"], site.Url("/f/" + std::to_string(i)));
    const std::string path = (scratch.path() / (std::to_string(i) + ".bin")).string();
    EXPECT_EQ(line["download"]["path"], path);
    EXPECT_EQ(line["download"]["sha256"], Sha256Hex(contents[static_cast<size_t>(i)]));
    EXPECT_TRUE(ReadAll(path) == contents[static_cast<size_t>(i)]) << path;
  }
  EXPECT_EQ(lines.back()["outcome"], "bad-url");
  EXPECT_GE(site.mostAtOnce(), 4);

  // A recording made with 8 jobs keeps each link's exchanges its own, in
  // order, and replays with one.
  const std::string rec = (scratch.path() / "rec").string();
  const HostRun recorded = RunHost({"resolve", "--jobs", "8", "--record", rec, "-"}, input);
  EXPECT_EQ(recorded.code, 64) << recorded.err;
  std::string expected;
  for (int i = 0; i < kLinks; ++i) {
    expected += site.Url("/f/" + std::to_string(i)) + "\thttp://127.0.0.1:" +
                site.Url("").substr(17) + "/files/" + std::to_string(i) + ".bin\n";
  }
  EXPECT_EQ(recorded.out, expected + "not%20a%20link\tbad URL\n");
  const HostRun replayed = RunHost({"replay", "--jobs", "1", rec});
  EXPECT_EQ(replayed.code, 0) << replayed.err;
  EXPECT_EQ(replayed.out, expected);
  EXPECT_EQ(replayed.err, "");
}

}  // namespace
