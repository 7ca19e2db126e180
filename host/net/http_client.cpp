#include "host/net/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string_view>

#include "host/net/curl_share.h"
#include "host/cli/interrupt.h"
#include "host/net/web_url.h"

namespace velmora::host {
namespace {

using Clock = std::chrono::steady_clock;

// A hostile site may send endless headers; the trace keeps this many bytes.
constexpr size_t kMaxKeptHeaderBytes = 64 * 1024;

struct Sink {
  std::string* body;
  size_t cap;
  bool overCap = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (sink->body->size() + bytes > sink->cap) {
    sink->overCap = true;
    return 0;  // makes curl stop with a write error
  }
  sink->body->append(data, bytes);
  return bytes;
}

struct HopLog {
  std::vector<HttpHop>* hops;
  size_t keptBytes = 0;
};

void AddLines(std::vector<std::string>& lines, std::string_view text, HopLog& log) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (log.keptBytes + line.size() > kMaxKeptHeaderBytes) {
      if (log.keptBytes <= kMaxKeptHeaderBytes) lines.emplace_back("(further headers not kept)");
      log.keptBytes = kMaxKeptHeaderBytes + 1;
      return;
    }
    log.keptBytes += line.size();
    lines.emplace_back(line);
  }
}

// Every request curl sends starts a hop; the response lines that follow are
// that hop's, up to the next request.
int OnDebug(CURL* curl, curl_infotype type, char* data, size_t size, void* user) {
  auto& log = *static_cast<HopLog*>(user);
  const std::string_view text(data, size);
  if (type == CURLINFO_HEADER_OUT) {
    HttpHop hop;
    char* url = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) hop.url = url;
    log.hops->push_back(std::move(hop));
    AddLines(log.hops->back().requestHeaders, text, log);
  } else if (type == CURLINFO_HEADER_IN && !log.hops->empty()) {
    HttpHop& hop = log.hops->back();
    if (text.rfind("HTTP/", 0) == 0) {
      const size_t space = text.find(' ');
      if (space != std::string_view::npos) hop.status = std::atol(text.data() + space + 1);
    }
    AddLines(hop.responseHeaders, text, log);
  }
  return 0;
}

// The value of the last header called name (lower case) among lines.
std::string HeaderValue(const std::vector<std::string>& lines, std::string_view name) {
  std::string value;
  for (const std::string& line : lines) {
    if (line.size() <= name.size() || line[name.size()] != ':') continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(line[i])) == name[i];
    }
    if (!same) continue;
    const size_t start = line.find_first_not_of(' ', name.size() + 1);
    value = start == std::string::npos ? std::string() : line.substr(start);
  }
  return value;
}

int OnProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return InterruptSignal() != 0 ? 1 : 0;
}


curl_slist* Append(curl_slist* list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list, line.c_str());
  if (grown == nullptr) {
    curl_slist_free_all(list);
    throw std::bad_alloc();
  }
  return grown;
}

std::string Seconds(double seconds) {
  std::string text = std::to_string(seconds);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

// Failures that may pass: the network, the server's own trouble. A 4xx
// answer or a page over the cap would only come again.
bool IsWorthRetrying(int curlCode, long status) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK: return status >= 500;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR:
      return true;
    default:
      return false;
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
// the user's own no_proxy list is kept.
std::string NoProxyList() {
  std::string list = "localhost,127.0.0.1,::1";
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

// Names under .invalid never resolve (RFC 6761); don't ask a name server.
bool IsInvalidName(const std::string& url) {
  std::string host = HostOfUrl(url);
  while (!host.empty() && host.back() == '.') host.pop_back();
  constexpr std::string_view kSuffix = ".invalid";
  return host == "invalid" ||
         (host.size() > kSuffix.size() && host.compare(host.size() - kSuffix.size(), kSuffix.size(),
                                                       kSuffix) == 0);
}

bool IsHeaderLine(const std::string& line, std::string& why) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) {
    why = "a header is given as 'Name: value'";
    return false;
  }
  for (size_t i = 0; i < colon; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c <= 0x20 || c >= 0x7F || std::string_view("\"(),/:;<=>?@[\\]{}").find(c) !=
                                      std::string_view::npos) {
      why = "the header name holds a character a name cannot have";
      return false;
    }
  }
  for (const char c : line) {
    if (c == '\r' || c == '\n' || c == '\0') {
      why = "a header cannot hold a line break";
      return false;
    }
  }
  return true;
}

std::string CurlVersionText() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  std::string text = std::string("libcurl ") + info->version;
  text += info->ssl_version != nullptr ? std::string(" with ") + info->ssl_version
                                       : std::string(" without TLS");
  return text;
}

HttpClient::HttpClient(HttpOptions options, CurlShare* share) : options_(std::move(options)) {
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) throw std::bad_alloc();
  curl_ = curl;
  const std::string noProxy = NoProxyList();
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
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.maxPageBytes));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, options_.userAgent.c_str());
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");  // whatever this curl can decode
  if (!options_.proxy.empty()) curl_easy_setopt(curl, CURLOPT_PROXY, options_.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, noProxy.c_str());  // curl copies strings
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteBody);
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &OnDebug);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);  // only into OnDebug
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

  try {
    for (const std::string& header : options_.headers) getHeaders_ = Append(getHeaders_, header);
    postHeaders_ = Append(nullptr, "Content-Type: application/x-www-form-urlencoded");
    postHeaders_ = Append(postHeaders_, "Expect:");
    for (const std::string& header : options_.headers) postHeaders_ = Append(postHeaders_, header);
  } catch (...) {
    curl_slist_free_all(getHeaders_);
    curl_easy_cleanup(curl);
    throw;
  }
}

HttpClient::~HttpClient() {
  curl_easy_cleanup(static_cast<CURL*>(curl_));  // writes the cookie file
  curl_slist_free_all(getHeaders_);
  curl_slist_free_all(postHeaders_);
}

void HttpClient::BeginLink() {
  deadline_.reset();
  if (options_.deadlineSeconds > 0) {
    deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(options_.deadlineSeconds));
  }
}

HttpResponse HttpClient::Get(const std::string& url) {
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, getHeaders_);
  return Perform(url);
}

HttpResponse HttpClient::Post(const std::string& url, const std::string& body) {
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, postHeaders_);
  return Perform(url);
}

HttpResponse HttpClient::Perform(const std::string& url) {
  constexpr double kFirstPause = 0.5, kLongestPause = 30;
  double pause = kFirstPause;
  double spent = 0;
  for (int attempt = 1;; ++attempt) {
    long timeoutMs = options_.timeoutSeconds * 1000;
    bool deadlineBinds = false;
    if (deadline_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
      if (left <= 0) {
        HttpResponse late;
        late.finalUrl = url;
        late.attempts = attempt;
        late.error = "the deadline of " + Seconds(options_.deadlineSeconds) +
                     " seconds for this link passed";
        return late;
      }
      if (left < timeoutMs) timeoutMs = static_cast<long>(left), deadlineBinds = true;
    }
    HttpResponse response = PerformOnce(url, timeoutMs, deadlineBinds);
    spent += response.seconds;
    response.seconds = spent;
    response.attempts = attempt;
    if (response.ok || response.interrupted || attempt > options_.retries || !response.retryable) {
      return response;
    }
    if (deadline_) {
      const double left = std::chrono::duration<double>(*deadline_ - Clock::now()).count();
      if (left <= pause) return response;  // no time left for another try
    }
    SleepUnlessInterrupted(pause);
    spent += pause;
    if (InterruptSignal() != 0) {
      response.interrupted = true;
      response.error = std::string("interrupted by ") + SignalName(InterruptSignal());
      return response;
    }
    pause = std::min(pause * 2, kLongestPause);
  }
}

HttpResponse HttpClient::PerformOnce(const std::string& url, long timeoutMs, bool deadlineBinds) {
  CURL* curl = static_cast<CURL*>(curl_);
  HttpResponse response;
  response.finalUrl = url;
  if (IsInvalidName(url)) {
    response.error = "Could not resolve host: " + HostOfUrl(url);
    return response;
  }

  Sink sink{&response.body, options_.maxPageBytes};
  HopLog hops{&response.hops};
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &hops);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, nullptr);

  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &response.redirects);
  // The URL of the last request actually sent; curl's effective URL can name
  // a redirect target it refused.
  if (!response.hops.empty() && !response.hops.back().url.empty()) {
    response.finalUrl = response.hops.back().url;
  }
  curl_off_t wire = 0;
  if (curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &wire) == CURLE_OK) {
    response.wireBytes = wire;
  }
  curl_off_t micros = 0;
  if (curl_easy_getinfo(curl, CURLINFO_TOTAL_TIME_T, &micros) == CURLE_OK) {
    response.seconds = static_cast<double>(micros) / 1e6;
  }
  // curl counts a redirect it then refused; the hops say what was fetched.
  if (!response.hops.empty()) response.redirects = static_cast<long>(response.hops.size()) - 1;
  char* location = nullptr;
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
  std::string redirectTo = location != nullptr ? location : "";
  if (redirectTo.empty() && !response.hops.empty() && response.hops.back().status / 100 == 3) {
    redirectTo = HeaderValue(response.hops.back().responseHeaders, "location");
  }

  response.retryable = IsWorthRetrying(code, response.status);
  if (code == CURLE_ABORTED_BY_CALLBACK && InterruptSignal() != 0) {
    response.interrupted = true;
    response.error = std::string("interrupted by ") + SignalName(InterruptSignal());
  } else if (sink.overCap || code == CURLE_FILESIZE_EXCEEDED) {
    response.error = "the page is larger than the limit of " + std::to_string(options_.maxPageBytes) +
                     " bytes";
  } else if (code == CURLE_OPERATION_TIMEDOUT && deadlineBinds) {
    response.error = "the deadline of " + Seconds(options_.deadlineSeconds) +
                     " seconds for this link passed";
    response.retryable = false;
  } else if (code == CURLE_UNSUPPORTED_PROTOCOL && !redirectTo.empty()) {
    response.error = "the redirect to " + redirectTo +
                     " was not followed: only http and https are";
  } else if (code != CURLE_OK) {
    response.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
  } else if (response.status >= 400) {
    response.error = "the server answered with HTTP status " + std::to_string(response.status);
  } else if (response.status >= 300) {
    response.error = "the server answered with HTTP status " + std::to_string(response.status) +
                     (redirectTo.empty() ? " but named no Location to go to"
                                         : " and a redirect to " + redirectTo + " that was not followed");
  } else {
    response.ok = true;
  }
  return response;
}

}  // namespace velmora::host
