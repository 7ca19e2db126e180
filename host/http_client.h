// HTTP for the plugin's two fetch callbacks, through libcurl.
#ifndef VELMORA_HOST_HTTP_CLIENT_H_
#define VELMORA_HOST_HTTP_CLIENT_H_

#include <cstddef>
#include <string>

struct curl_slist;

namespace velmora::host {

struct HttpOptions {
  long connectTimeoutSeconds = 15;
  long timeoutSeconds = 120;
  size_t maxPageBytes = size_t{64} << 20;
  std::string userAgent =
      "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/124.0.0.0 Safari/537.36";
};

constexpr long kMaxRedirects = 10;

// One exchange as the plugin's host sees it. ok is false for every failure
// (no connection, timeout, status 400 or above, page over the cap); error
// then says why in words.
struct HttpResponse {
  bool ok = false;
  long status = 0;
  std::string finalUrl;  // after redirects
  std::string body;      // what arrived, even on failure
  std::string error;
  long redirects = 0;
};

// One cookie engine and one connection cache for a whole run, so a POST
// carries the cookies its page set. Not thread-safe; one run, one thread.
class HttpClient {
 public:
  explicit HttpClient(HttpOptions options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  HttpResponse Get(const std::string& url);
  // POSTs body as application/x-www-form-urlencoded.
  HttpResponse Post(const std::string& url, const std::string& body);

 private:
  HttpResponse Perform(const std::string& url);

  HttpOptions options_;
  void* curl_;  // CURL*, kept out of this header
  curl_slist* postHeaders_ = nullptr;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_HTTP_CLIENT_H_
