#include "host/net/http_connection.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>

#include "host/cli/interrupt.h"
#include "host/io/quantities.h"
#include "host/net/curl_share.h"
#include "host/net/http_headers.h"
#include "host/net/site_pace.h"
#include "host/net/web_url.h"

namespace velmora::host {
namespace {

using Clock = std::chrono::steady_clock;

// A hostile site may send endless headers; a try keeps this many bytes of
// them for the trace, and a response this many for the host to read.
constexpr size_t kMaxKeptHeaderBytes = 64 * 1024;

// What the callbacks of one try share.
struct Exchange {
  CURL* curl = nullptr;
  const HttpRequest* request = nullptr;
  BodySink* sink = nullptr;
  long stallSeconds = 0;  // 0: no stall limit

  ResponseHead head;  // the response under way
  size_t headBytes = 0;
  bool headersDone = false;  // what follows are trailers, if any
  bool begun = false;        // its body goes to the sink
  bool sinkStopped = false;

  std::vector<HttpHop> hops;
  size_t hopBytes = 0;

  curl_off_t lastDown = 0, lastUp = 0;
  Clock::time_point lastByte = Clock::now();
  bool stalled = false;
};

// A 3xx with a Location: curl follows it, and its body is nobody's.
bool IsFollowed(const ResponseHead& head) {
  return head.status / 100 == 3 && head.status != 304 &&
         !HeaderValue(head.headers, "location").empty();
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.rfind("HTTP/", 0) == 0) {  // a response (after a redirect or a 1xx, the next one)
    exchange.head = ResponseHead();
    exchange.headBytes = 0;
    exchange.headersDone = false;
    exchange.begun = false;
    const size_t space = line.find(' ');
    if (space != std::string_view::npos) {
      exchange.head.status =
          static_cast<long>(std::max<int64_t>(0, HeaderNumber(line.substr(space + 1, 3))));
    }
    return bytes;
  }
  if (exchange.headersDone) return bytes;  // trailers of a chunked body
  if (!line.empty()) {
    if (exchange.headBytes + line.size() <= kMaxKeptHeaderBytes) {
      exchange.headBytes += line.size();
      exchange.head.headers.emplace_back(line);
    }
    return bytes;
  }
  exchange.headersDone = exchange.head.status >= 200;  // a 1xx is followed by the real headers
  if (!exchange.headersDone || IsFollowed(exchange.head)) return bytes;
  char* url = nullptr;
  if (curl_easy_getinfo(exchange.curl, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) {
    exchange.head.url = url;
  }
  exchange.begun = true;
  if (!exchange.sink->Begin(exchange.head)) {
    exchange.sinkStopped = true;
    return 0;  // stops the transfer
  }
  return bytes;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const size_t bytes = size * count;
  if (!exchange.begun) return bytes;  // a redirect's body
  if (!exchange.sink->Write(std::string_view(data, bytes))) {
    exchange.sinkStopped = true;
    return 0;
  }
  return bytes;
}

void AddLines(std::vector<std::string>& lines, std::string_view text, Exchange& exchange) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (exchange.hopBytes + line.size() > kMaxKeptHeaderBytes) {
      if (exchange.hopBytes <= kMaxKeptHeaderBytes)
        lines.emplace_back("(further headers not kept)");
      exchange.hopBytes = kMaxKeptHeaderBytes + 1;
      return;
    }
    exchange.hopBytes += line.size();
    lines.emplace_back(line);
  }
}

// Every request curl sends starts a hop; the response lines that follow are
// that hop's, up to the next request.
int OnDebug(CURL* curl, curl_infotype type, char* data, size_t size, void* user) {
  auto& exchange = *static_cast<Exchange*>(user);
  const std::string_view text(data, size);
  if (type == CURLINFO_HEADER_OUT) {
    HttpHop hop;
    char* url = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) hop.url = url;
    exchange.hops.push_back(std::move(hop));
    AddLines(exchange.hops.back().requestHeaders, text, exchange);
  } else if (type == CURLINFO_HEADER_IN && !exchange.hops.empty()) {
    HttpHop& hop = exchange.hops.back();
    if (text.rfind("HTTP/", 0) == 0) {
      const size_t space = text.find(' ');
      if (space != std::string_view::npos) hop.status = std::atol(text.data() + space + 1);
    }
    AddLines(hop.responseHeaders, text, exchange);
  }
  return 0;
}

// Stops the transfer on a signal, and a file transfer that went stallSeconds
// without a byte either way.
int OnProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto& exchange = *static_cast<Exchange*>(user);
  if (InterruptSignal() != 0) return 1;
  const Clock::time_point now = Clock::now();
  if (down != exchange.lastDown || up != exchange.lastUp) {
    exchange.lastDown = down;
    exchange.lastUp = up;
    exchange.lastByte = now;
    return 0;
  }
  if (exchange.stallSeconds > 0 &&
      now - exchange.lastByte >= std::chrono::seconds(exchange.stallSeconds)) {
    exchange.stalled = true;
    return 1;
  }
  return 0;
}

struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

void Append(Slist& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown == nullptr) throw std::bad_alloc();
  (void)list.release();
  list.reset(grown);
}

std::string InterruptedText() {
  return std::string("interrupted by ") + SignalName(InterruptSignal());
}

}  // namespace

// Failures that may pass: the network, the server's own trouble. A 4xx
// answer or a page over the cap would only come again.
bool IsWorthRetrying(int curlCode, long status) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK: return status >= 500 || status == 429;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR: return true;
    default: return false;
  }
}

void InitCurlOnce() {
  static const bool initialised = [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw std::runtime_error("libcurl could not be initialised");
    }
    return true;
  }();
  (void)initialised;
}

// Loopback never goes through a proxy, whatever the environment says;
// the user's own no_proxy list is kept. curl turns every IPv4 form into
// dotted quads and ::1 into "::1", but matches the other IPv6 names as
// text (7.88 ignores an IPv6 range), so each request adds its own loopback
// host (NoProxyFor) and the range helps later curls on redirects.
std::string NoProxyList() {
  std::string list = "localhost,127.0.0.0/8,::1,::ffff:127.0.0.0/104";
  for (const char* name : {"no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      list += ',';
      list += value;
      break;
    }
  }
  return list;
}

std::string NoProxyFor(const std::string& list, const std::string& url) {
  if (!IsLoopbackUrl(url)) return list;
  std::string host = HostOfUrl(url);
  // curl matches an IPv6 host without its brackets.
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.find_first_of("%]") - 1);
  return host + "," + list;
}

bool IsInvalidName(const std::string& url) {
  std::string host = HostOfUrl(url);
  while (!host.empty() && host.back() == '.') host.pop_back();
  constexpr std::string_view kSuffix = ".invalid";
  return host == "invalid" ||
         (host.size() > kSuffix.size() &&
          host.compare(host.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0);
}

std::string CurlVersionText() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  std::string text = std::string("libcurl ") + info->version;
  text += info->ssl_version != nullptr ? std::string(" with ") + info->ssl_version
                                       : std::string(" without TLS");
  return text;
}

std::string DeadlineText(double seconds) {
  return "the deadline of " + SecondsText(seconds) + " seconds for this link passed";
}

std::string StatusText(long status, const std::string& refusedRedirect) {
  std::string text = "the server answered with HTTP status " + std::to_string(status);
  if (status / 100 != 3) return text;
  return text + (refusedRedirect.empty()
                     ? " but named no Location to go to"
                     : " and a redirect to " + refusedRedirect + " that was not followed");
}

HttpConnection::HttpConnection(const HttpOptions& options, CurlShare* share)
    : options_(options), pace_(share != nullptr ? &share->pace() : nullptr), noProxy_(NoProxyList()) {
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) throw std::bad_alloc();
  curl_ = curl;
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // Before the cookie engine starts, so that it is the share's.
  if (share != nullptr) curl_easy_setopt(curl, CURLOPT_SHARE, share->handle());
  // The cookie engine is on; a cookie file is read now and written at the end.
  curl_easy_setopt(curl, CURLOPT_COOKIEFILE, options_.cookieFile.c_str());
  if (!options_.cookieFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_COOKIEJAR, options_.cookieFile.c_str());
    // Now, not at this handle's first transfer: the other jobs' first
    // requests already carry its cookies.
    curl_easy_setopt(curl, CURLOPT_COOKIELIST, "RELOAD");
  }
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_AUTOREFERER, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options_.connectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, options_.userAgent.c_str());
  if (!options_.proxy.empty()) curl_easy_setopt(curl, CURLOPT_PROXY, options_.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &OnDebug);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);  // only into OnDebug
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

HttpConnection::~HttpConnection() {
  curl_easy_cleanup(static_cast<CURL*>(curl_));  // writes the cookie file
}

Attempt HttpConnection::Perform(const HttpRequest& request, BodySink& sink,
                                std::optional<Clock::time_point> deadline) {
  CURL* curl = static_cast<CURL*>(curl_);
  Attempt attempt;
  attempt.finalUrl = request.url;
  if (IsInvalidName(request.url)) {
    attempt.error = "Could not resolve host: " + HostOfUrl(request.url);
    return attempt;
  }

  // The deadline bounds every try; --timeout bounds a page exchange in all,
  // and a file transfer only while it stalls.
  long timeoutMs = request.stallTimeout ? 0 : options_.timeoutSeconds * 1000;
  bool deadlineBinds = false;
  if (deadline) {
    const long left = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count());
    if (left <= 0) {
      attempt.error = DeadlineText(options_.deadlineSeconds);
      attempt.deadlinePassed = true;
      return attempt;
    }
    if (timeoutMs == 0 || left < timeoutMs) timeoutMs = left, deadlineBinds = true;
  }

  Slist headers;
  if (request.method == "POST") {
    Append(headers, "Content-Type: application/x-www-form-urlencoded");
    Append(headers, "Expect:");
  }
  for (const std::string& header : options_.headers) Append(headers, header);
  for (const std::string& header : request.headers) Append(headers, header);

  if (request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, request.body.c_str());
  } else {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOBODY, request.method == "HEAD" ? 1L : 0L);
  }
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, NoProxyFor(noProxy_, request.url).c_str());  // copied
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_REFERER,
                   request.referer.empty() ? nullptr : request.referer.c_str());
  curl_easy_setopt(curl, CURLOPT_RANGE, request.range.empty() ? nullptr : request.range.c_str());
  // "": whatever this curl can decode; null: the bytes as sent.
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, request.decode ? "" : nullptr);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBytes));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);

  Exchange exchange;
  exchange.curl = curl;
  exchange.request = &request;
  exchange.sink = &sink;
  exchange.stallSeconds = request.stallTimeout ? options_.timeoutSeconds : 0;
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);

  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &attempt.status);
  curl_off_t wire = 0;
  if (curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &wire) == CURLE_OK)
    attempt.wireBytes = wire;
  curl_off_t micros = 0;
  if (curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &micros) == CURLE_OK) {
    attempt.seconds = static_cast<double>(micros) / 1e6;
  }
  attempt.hops = std::move(exchange.hops);
  // The URL of the last request actually sent; curl's effective URL can
  // name a redirect target it refused, and counts that redirect too.
  if (!attempt.hops.empty()) {
    if (!attempt.hops.back().url.empty()) attempt.finalUrl = attempt.hops.back().url;
    attempt.redirects = static_cast<long>(attempt.hops.size()) - 1;
  }
  char* location = nullptr;
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
  attempt.refusedRedirect = location != nullptr ? location : "";
  if (attempt.refusedRedirect.empty() && !attempt.hops.empty() &&
      attempt.hops.back().status / 100 == 3) {
    attempt.refusedRedirect = HeaderValue(attempt.hops.back().responseHeaders, "location");
  }

  if ((attempt.status == 429 || attempt.status == 503) && !attempt.hops.empty()) {
    const std::string value = HeaderValue(attempt.hops.back().responseHeaders, "retry-after");
    attempt.retryAfterSeconds = RetryAfterSeconds(value);
  }
  attempt.retryable = IsWorthRetrying(code, 0);
  attempt.cutShort = code == CURLE_PARTIAL_FILE;
  if (code == CURLE_ABORTED_BY_CALLBACK && InterruptSignal() != 0) {
    attempt.interrupted = true;
    attempt.retryable = false;
    attempt.error = InterruptedText();
  } else if (code == CURLE_ABORTED_BY_CALLBACK && exchange.stalled) {
    attempt.error = "no byte arrived for " + std::to_string(options_.timeoutSeconds) + " seconds";
    attempt.retryable = true;
  } else if (exchange.sinkStopped) {
    attempt.stoppedBySink = true;  // the sink knows why
    attempt.retryable = false;
  } else if (code == CURLE_FILESIZE_EXCEEDED) {
    attempt.tooLarge = true;
    attempt.error =
        "the page is larger than the limit of " + std::to_string(request.maxBytes) + " bytes";
  } else if (code == CURLE_OPERATION_TIMEDOUT && deadlineBinds &&
             Clock::now() >= *deadline - std::chrono::milliseconds(50)) {
    attempt.error = DeadlineText(options_.deadlineSeconds);
    attempt.deadlinePassed = true;
    attempt.retryable = false;
  } else if (code == CURLE_UNSUPPORTED_PROTOCOL && !attempt.refusedRedirect.empty()) {
    attempt.error =
        "the redirect to " + attempt.refusedRedirect + " was not followed: only http and https are";
  } else if (code != CURLE_OK) {
    attempt.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
  }
  return attempt;
}

}  // namespace velmora::host
