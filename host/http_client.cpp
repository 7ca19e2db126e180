#include "host/http_client.h"

#include <curl/curl.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string_view>

#include "host/web_url.h"

namespace velmora::host {
namespace {

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

}  // namespace

HttpClient::HttpClient(HttpOptions options) : options_(std::move(options)) {
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) throw std::bad_alloc();
  curl_ = curl;
  const std::string noProxy = NoProxyList();
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");  // cookie engine on, nothing loaded
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_AUTOREFERER, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, options_.connectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, options_.timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(options_.maxPageBytes));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, options_.userAgent.c_str());
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");  // whatever this curl can decode
  curl_easy_setopt(curl, CURLOPT_NOPROXY, noProxy.c_str());  // curl copies strings
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteBody);

  postHeaders_ = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
  if (postHeaders_ != nullptr) postHeaders_ = curl_slist_append(postHeaders_, "Expect:");
  if (postHeaders_ == nullptr) {
    curl_easy_cleanup(curl);
    throw std::bad_alloc();
  }
}

HttpClient::~HttpClient() {
  curl_easy_cleanup(static_cast<CURL*>(curl_));
  curl_slist_free_all(postHeaders_);
}

HttpResponse HttpClient::Get(const std::string& url) {
  CURL* curl = static_cast<CURL*>(curl_);
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
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
  CURL* curl = static_cast<CURL*>(curl_);
  HttpResponse response;
  response.finalUrl = url;
  if (IsInvalidName(url)) {
    response.error = "Could not resolve host: " + HostOfUrl(url);
    return response;
  }

  Sink sink{&response.body, options_.maxPageBytes};
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  const CURLcode code = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);

  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &response.redirects);
  char* effective = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
    response.finalUrl = effective;
  }

  if (sink.overCap || code == CURLE_FILESIZE_EXCEEDED) {
    response.error = "the page is larger than the limit of " + std::to_string(options_.maxPageBytes) +
                     " bytes";
  } else if (code != CURLE_OK) {
    response.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
  } else if (response.status >= 400) {
    response.error = "the server answered with HTTP status " + std::to_string(response.status);
  } else {
    response.ok = true;
  }
  return response;
}

}  // namespace velmora::host
