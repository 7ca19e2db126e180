// HTTP for the plugin's two fetch callbacks, through libcurl.
#ifndef VELMORA_HOST_HTTP_CLIENT_H_
#define VELMORA_HOST_HTTP_CLIENT_H_

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct curl_slist;

namespace velmora::host {

struct HttpOptions {
  long connectTimeoutSeconds = 15;
  long timeoutSeconds = 120;
  size_t maxPageBytes = size_t{64} << 20;
  std::string userAgent =
      "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/124.0.0.0 Safari/537.36";
  int retries = 0;           // further tries after a connection failure, timeout or 5xx
  double deadlineSeconds = 0;  // for one link in all; 0: none
  std::string proxy;         // empty: the environment's, as curl reads it
  std::vector<std::string> headers;  // "Name: value", sent with every request
  std::string cookieFile;    // Netscape cookie file, read at the start and written at the end
};

constexpr long kMaxRedirects = 10;

// One request and its response on the way to the final page: the first
// request and every redirect that was followed. Header lines as they went
// over the wire, without line ends.
struct HttpHop {
  std::string url;
  long status = 0;
  std::vector<std::string> requestHeaders;
  std::vector<std::string> responseHeaders;
};

// One exchange as the plugin's host sees it. ok is false for every failure
// (no connection, timeout, status 300 or above, page over the cap); error
// then says why in words.
struct HttpResponse {
  bool ok = false;
  long status = 0;
  std::string finalUrl;  // of the last request made
  std::string body;      // what arrived, decoded, even on failure
  std::string error;
  long redirects = 0;    // redirects followed
  long long wireBytes = -1;  // body bytes as they came over the wire; -1: unknown
  double seconds = 0;
  int attempts = 1;
  bool interrupted = false;  // a signal stopped it
  bool retryable = false;    // a failure that another try may overcome
  std::vector<HttpHop> hops;
};

class CurlShare;

// One cookie engine and one connection cache for a whole run, so a POST
// carries the cookies its page set. Not thread-safe: with several links at
// once each job has its own client, and all of them one share (the cookie
// store); then only one of them names options.cookieFile, which it reads at
// once into the share and writes back when it is destroyed, after the others.
class HttpClient {
 public:
  explicit HttpClient(HttpOptions options, CurlShare* share = nullptr);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Starts the deadline of a new link.
  void BeginLink();
  HttpResponse Get(const std::string& url);
  // POSTs body as application/x-www-form-urlencoded.
  HttpResponse Post(const std::string& url, const std::string& body);

 private:
  HttpResponse Perform(const std::string& url);
  HttpResponse PerformOnce(const std::string& url, long timeoutMs, bool deadlineBinds);

  HttpOptions options_;
  void* curl_;  // CURL*, kept out of this header
  curl_slist* getHeaders_ = nullptr;
  curl_slist* postHeaders_ = nullptr;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

// curl_global_init, once per process.
void InitCurlOnce();

// The no_proxy list every handle gets: loopback, and the user's own.
std::string NoProxyList();

// Names under .invalid never resolve (RFC 6761): no name server is asked.
bool IsInvalidName(const std::string& url);

// Checks one --header value; why says what is wrong.
bool IsHeaderLine(const std::string& line, std::string& why);

// "libcurl/7.88.1 with OpenSSL/3.0.x" and the like.
std::string CurlVersionText();

// Whether a transfer that ended with this libcurl code (CURLcode) and HTTP
// status may go better when tried again: the network or the server's own
// trouble (5xx), never a 4xx answer or a page over the cap.
bool IsWorthRetrying(int curlCode, long status);

}  // namespace velmora::host

#endif  // VELMORA_HOST_HTTP_CLIENT_H_
