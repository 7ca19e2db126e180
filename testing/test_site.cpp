#include "testing/test_site.h"

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace velmora::testing {

struct TestSite::State {
  httplib::Server server;
  std::thread thread;
  size_t threads = 0;
  int port = 0;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::map<std::string, int> turns;
  std::vector<Received> received;
  int atOnce = 0;
  int mostAtOnce = 0;

  void Record(const httplib::Request& request);
  void Serve(const std::map<std::string, std::string>& texts, const httplib::Request& request,
             httplib::Response& response);
};

namespace {

// Counts the requests under way while it lives.
class AtOnce {
 public:
  AtOnce(std::mutex& mutex, int& now, int& most) : mutex_(mutex), now_(now) {
    std::lock_guard<std::mutex> lock(mutex_);
    most = std::max(most, ++now_);
  }
  ~AtOnce() {
    std::lock_guard<std::mutex> lock(mutex_);
    --now_;
  }

 private:
  std::mutex& mutex_;
  int& now_;
};

}  // namespace

TestSite::TestSite(size_t threads) : state_(std::make_unique<State>()) {
  state_->threads = threads;
  state_->server.set_tcp_nodelay(true);  // no delayed-ACK wait between headers and body
}

TestSite::~TestSite() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

void TestSite::Route(const std::string& method, const std::string& pattern, Handler handler) {
  if (method == "POST") {
    state_->server.Post(pattern, std::move(handler));
  } else {
    state_->server.Get(pattern, std::move(handler));
  }
}

void TestSite::Start() {
  State& state = *state_;
  const size_t threads = state.threads;
  state.server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  state.server.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    state_->Record(request);
    state_->Serve(pages, request, response);
    response.set_header("Set-Cookie", "sid=s3ss10n; Path=/");
  });
  state.server.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
    state_->Record(request);
    state_->Serve(answers, request, response);
  });
  state.port = state.server.bind_to_any_port("127.0.0.1");
  if (state.port <= 0) throw std::runtime_error("the test site cannot open a port on 127.0.0.1");
  state.thread = std::thread([&state] { state.server.listen_after_bind(); });
  for (int i = 0; i < 5000 && !state.server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string TestSite::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(state_->port) + path;
}

std::vector<Received> TestSite::received() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->received;
}

std::vector<Received> TestSite::posts() {
  std::vector<Received> found;
  for (const Received& request : received()) {
    if (request.method == "POST") found.push_back(request);
  }
  return found;
}

int TestSite::mostAtOnce() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->mostAtOnce;
}

void TestSite::State::Record(const httplib::Request& request) {
  std::string target = request.path;
  if (!request.params.empty() && request.method == "GET") {
    target += "?";
    for (const auto& [name, value] : request.params) target += name + "=" + value + "&";
    target.pop_back();
  }
  std::lock_guard<std::mutex> lock(mutex);
  received.push_back({request.method, target, request.body, request.get_header_value("Cookie"),
                      request.get_header_value("Content-Type"),
                      request.get_header_value("User-Agent"), request.get_header_value("X-Test"),
                      request.get_header_value("Range"), request.get_header_value("Referer"),
                      request.get_header_value("If-Range"), std::chrono::steady_clock::now()});
}

void TestSite::State::Serve(const std::map<std::string, std::string>& texts,
                            const httplib::Request& request, httplib::Response& response) {
  AtOnce counted(mutex, atOnce, mostAtOnce);
  const auto found = texts.find(request.path);
  if (found == texts.end()) {
    response.status = 404;
    return;
  }
  std::string text = found->second;
  const size_t portAt = text.find("{PORT}");
  if (portAt != std::string::npos) text.replace(portAt, 6, std::to_string(port));
  if (text.rfind("TURNS ", 0) == 0) {
    int turn = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      turn = turns[request.method + request.path]++;
    }
    text = text.substr(6);
    for (size_t next; turn > 0 && (next = text.find("\n--next--\n")) != std::string::npos; --turn) {
      text = text.substr(next + 10);
    }
    text = text.substr(0, text.find("\n--next--\n"));
  }
  std::string type = "text/html";
  while (text.rfind("HEADER ", 0) == 0 || text.rfind("DELAY ", 0) == 0 ||
         text.rfind("TYPE ", 0) == 0 || text.rfind("NOHEAD\n", 0) == 0) {
    const size_t colon = text.find(": "), end = text.find('\n');
    if (text[0] == 'N') {
      if (request.method == "HEAD") {
        response.status = 405;
        return;
      }
    } else if (text[0] == 'D') {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(text.substr(6))));
    } else if (text[0] == 'T') {
      type = text.substr(5, end - 5);
    } else {
      response.set_header(text.substr(7, colon - 7).c_str(),
                          text.substr(colon + 2, end - colon - 2));
    }
    text = text.substr(end + 1);
  }
  const std::string ifRange = request.get_header_value("If-Range");
  if (!ifRange.empty() && ifRange != response.get_header_value("ETag") &&
      ifRange != response.get_header_value("Last-Modified")) {
    // Not the version asked for: all of it. The request is the server's own
    // object, not const; its ranges are applied after this handler.
    const_cast<httplib::Request&>(request).ranges.clear();
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
  if (text.rfind("DRIP ", 0) == 0) {
    const int pause = std::stoi(text.substr(5));
    auto file = std::make_shared<std::string>(text.substr(text.find('\n') + 1));
    response.set_content_provider(
        file->size(), type, [this, file, pause](size_t offset, size_t, httplib::DataSink& sink) {
          std::unique_lock<std::mutex> lock(mutex);
          if (wake.wait_for(lock, std::chrono::milliseconds(pause), [this] { return stopping; })) {
            return false;
          }
          lock.unlock();
          sink.write(file->data() + offset, 1);
          return true;
        });
    return;
  }
  if (text.rfind("NORANGE\n", 0) == 0) {
    auto file = std::make_shared<std::string>(text.substr(8));
    response.status = 200;
    response.set_chunked_content_provider("application/octet-stream",
                                          [file](size_t, httplib::DataSink& sink) {
                                            sink.write(file->data(), file->size());
                                            sink.done();
                                            return true;
                                          });
    return;
  }
  if (text == "HANG") {
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait_for(lock, std::chrono::seconds(30), [this] { return stopping; });
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
    response.set_redirect(text.substr(9, text.find('\n') - 9));  // to the line's end
  } else if (text.rfind("STATUS ", 0) == 0) {
    response.status = std::stoi(text.substr(7));
    response.set_content("error page", "text/html");
  } else if (text == "SLEEP") {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    response.set_content("late", "text/html");
  } else if (text == "BIG") {
    response.set_content(std::string(5000, 'x'), "text/html");
  } else {
    response.set_content(text, type);
  }
}

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

std::string FormPage(const std::string& action, const std::string& inputs) {
  return "<HTML><BODY>\n<FORM METHOD=\"POST\" ACTION=\"" + action + "\">\n" + inputs +
         "</FORM>\n</BODY></HTML>\n";
}

}  // namespace velmora::testing
