#include "host/net/http_client.h"

#include "host/net/retry.h"

namespace velmora::host {
namespace {

// A page in memory, up to a cap.
class PageSink final : public BodySink {
 public:
  PageSink(std::string& body, size_t cap) : body_(body), cap_(cap) {}
  bool Begin(const ResponseHead&) override {
    body_.clear();  // the body of this response only, after a try that failed
    return true;
  }
  bool Write(std::string_view bytes) override {
    if (body_.size() + bytes.size() > cap_) {
      overCap = true;
      return false;
    }
    body_.append(bytes);
    return true;
  }
  bool overCap = false;

 private:
  std::string& body_;
  size_t cap_;
};

}  // namespace

std::optional<HttpConnection::Clock::time_point> LinkDeadline(const HttpOptions& options) {
  if (options.deadlineSeconds <= 0) return std::nullopt;
  using Clock = HttpConnection::Clock;
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(options.deadlineSeconds));
}

HttpResponse HttpClient::Get(const std::string& url) {
  HttpRequest request;
  request.url = url;
  return Fetch(request);
}

HttpResponse HttpClient::Post(const std::string& url, const std::string& body) {
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.body = body;
  return Fetch(request);
}

HttpResponse HttpClient::Fetch(HttpRequest& request) {
  const size_t cap = connection_.options().maxPageBytes;
  request.maxBytes = cap;
  request.note = note_;
  HttpResponse response;
  PageSink sink(response.body, cap);
  Attempt attempt =
      PerformWithRetries(connection_, request, sink, deadline_, [&](Attempt& tried, HttpRequest&) {
        if (sink.overCap) {
          tried.error = "the page is larger than the limit of " + std::to_string(cap) + " bytes";
          return Judgement::kGiveUp;
        }
        if (!tried.error.empty()) return tried.retryable ? Judgement::kRetry : Judgement::kGiveUp;
        if (tried.status >= 300) {
          tried.error = StatusText(tried.status, tried.refusedRedirect);
          return IsWorthRetrying(0, tried.status) ? Judgement::kRetry : Judgement::kGiveUp;
        }
        return Judgement::kDone;
      });
  static_cast<Attempt&>(response) = std::move(attempt);
  response.ok = response.error.empty();
  return response;
}

}  // namespace velmora::host
