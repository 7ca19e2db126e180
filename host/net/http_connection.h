// One libcurl handle, set up in one place for every request the host makes:
// the plugin's page fetches and POSTs and the files get downloads. A request
// goes out once per Perform; the one retry loop around it is in retry.h.
#ifndef VELMORA_HOST_NET_HTTP_CONNECTION_H_
#define VELMORA_HOST_NET_HTTP_CONNECTION_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/net/http_options.h"

namespace velmora::host {

class CurlShare;
class SitePace;

// One request and its response on the way to the final one: the first
// request and every redirect that was followed. Header lines as they went
// over the wire, without line ends.
struct HttpHop {
  std::string url;
  long status = 0;
  std::vector<std::string> requestHeaders;
  std::vector<std::string> responseHeaders;
};

// A response whose body follows (every one but a redirect that is followed).
struct ResponseHead {
  long status = 0;
  std::string url;  // the URL it answers
  std::vector<std::string> headers;
};

// Where a response's body goes: a page in memory, a file on disk.
class BodySink {
 public:
  virtual ~BodySink() = default;
  // The response's headers are in; false stops the transfer.
  virtual bool Begin(const ResponseHead& head) = 0;
  // More of its body; false stops the transfer.
  virtual bool Write(std::string_view bytes) = 0;
};

struct HttpRequest {
  std::string method = "GET";  // GET, POST or HEAD
  std::string url;
  std::string body;  // POST: an encoded form
  std::string referer;
  std::string range;                 // e.g. "4000-"; empty: the whole body
  std::vector<std::string> headers;  // for this request only (If-Range, ...)
  bool decode = true;  // undo a Content-Encoding (a page), or keep the bytes as sent (a file)
  bool stallTimeout = false;  // --timeout bounds the time without a byte (a file), not the exchange
  size_t maxBytes = 0;        // a body announced larger is refused at once; 0: no limit
  // Where the retry loop says when and why it waits (the link's --trace); may be empty.
  std::function<void(std::string_view)> note;
};

// What one try came to.
struct Attempt {
  long status = 0;           // of the last response
  std::string finalUrl;      // of the last request really sent
  long redirects = 0;        // followed
  long long wireBytes = -1;  // body bytes as they came over the wire; -1: unknown
  double seconds = 0;        // after PerformWithRetries: every try and pause
  int attempts = 1;
  std::vector<HttpHop> hops;
  std::string refusedRedirect;  // a Location that was not followed
  // Why the exchange failed, in words; empty while nothing failed. A status
  // that is no success is for the caller to judge.
  std::string error;
  bool retryable = false;    // a failure that another try may overcome
  bool interrupted = false;  // a signal stopped it
  bool deadlinePassed = false;
  bool stoppedBySink = false;  // the sink refused the body
  bool tooLarge = false;       // over request.maxBytes as announced
  bool cutShort = false;       // the connection ended before the announced body did
  // The pause a 429 or 503 asked for with Retry-After, in seconds; -1: none.
  double retryAfterSeconds = -1;
};

class HttpConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Not thread-safe: each job has its own, all over one share (the cookie
  // store). options.cookieFile, when set, is read at once into the share
  // and written back when this connection ends: give it to one connection
  // of a run. A site's request to slow down holds every connection of the
  // share (its SitePace).
  HttpConnection(const HttpOptions& options, CurlShare* share);
  ~HttpConnection();
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;

  const HttpOptions& options() const { return options_; }
  SitePace* pace() const { return pace_; }

  // One try of request, its body into sink, within deadline.
  Attempt Perform(const HttpRequest& request, BodySink& sink,
                  std::optional<Clock::time_point> deadline);

 private:
  HttpOptions options_;
  SitePace* pace_;
  void* curl_;  // CURL*, kept out of this header
  std::string noProxy_;
};

// curl_global_init, once per process.
void InitCurlOnce();

// The no_proxy list every handle gets: loopback, and the user's own.
std::string NoProxyList();

// list for a request of url: with url's own host first when it is loopback
// in a form curl's matching of list would miss (::ffff:7f00:1, say).
std::string NoProxyFor(const std::string& list, const std::string& url);

// Names under .invalid never resolve (RFC 6761): no name server is asked.
bool IsInvalidName(const std::string& url);

// "libcurl 7.88.1 with OpenSSL/3.0.x" and the like.
std::string CurlVersionText();

// Whether a transfer that ended with this libcurl code (CURLcode) and HTTP
// status may go better when tried again: the network or the server's own
// trouble (5xx), a site's request to slow down (429), never another 4xx
// answer or a page over the cap.
bool IsWorthRetrying(int curlCode, long status);

// "the deadline of S seconds for this link passed".
std::string DeadlineText(double seconds);

// "the server answered with HTTP status N", and for a 3xx why it led nowhere.
std::string StatusText(long status, const std::string& refusedRedirect);

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_HTTP_CONNECTION_H_
