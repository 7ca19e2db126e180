#include "host/download/file_check.h"

#include "host/download/file_naming.h"
#include "host/net/http_headers.h"
#include "host/net/retry.h"

namespace velmora::host {
namespace {

// Keeps the final response's head; for the ranged GET it stops the
// transfer there, before a byte of the body.
class HeadSink final : public BodySink {
 public:
  explicit HeadSink(bool stopAtHead) : stopAtHead_(stopAtHead) {}
  bool Begin(const ResponseHead& response) override {
    head = response;
    ++begun;
    return !stopAtHead_;
  }
  bool Write(std::string_view) override { return !stopAtHead_; }

  ResponseHead head;
  int begun = 0;  // answers whose headers came in

 private:
  bool stopAtHead_;
};

// Whether head answers with the file (a 416 to the first byte names the
// size of an empty one); its name, size and type go into check.
bool TakeFacts(const ResponseHead& head, const std::string& url, FileCheck& check) {
  std::string disposition, contentRange;
  int64_t contentLength = -1;
  std::string_view value;
  check.contentType.clear();
  for (const std::string& line : head.headers) {
    if (HeaderIs(line, "content-disposition", &value)) disposition = value;
    if (HeaderIs(line, "content-length", &value)) contentLength = HeaderNumber(value);
    if (HeaderIs(line, "content-range", &value)) contentRange = value;
    if (HeaderIs(line, "content-type", &value)) check.contentType = value;
  }
  check.name = DownloadFileName(disposition, head.url.empty() ? url : head.url);
  int64_t first = -1, total = -1;
  ParseContentRange(contentRange, first, total);
  if (head.status == 206 || head.status == 416) {
    check.size = total;
    return head.status == 206 || total == 0;
  }
  check.size = head.status / 100 == 2 ? contentLength : -1;
  return head.status / 100 == 2;
}

}  // namespace

FileCheck CheckFile(HttpConnection& connection, const std::string& url, const std::string& referer,
                    std::optional<HttpConnection::Clock::time_point> deadline,
                    const std::function<void(std::string_view)>& note) {
  FileCheck check;
  HttpRequest request;
  request.method = "HEAD";
  request.url = url;
  request.referer = referer;
  request.decode = false;  // no Accept-Encoding: the size is the file's
  request.note = note;

  // HEAD is a probe: what it cannot tell, the GET asks again, with retries.
  HeadSink headSink(false);
  Attempt head =
      PerformWithRetries(connection, request, headSink, deadline, [](Attempt& tried, HttpRequest&) {
        return tried.error.empty() ? Judgement::kDone : Judgement::kGiveUp;
      });
  bool answered = head.error.empty() && headSink.begun > 0 && TakeFacts(headSink.head, url, check);
  if (head.interrupted || head.deadlinePassed || (answered && check.size >= 0)) {
    static_cast<Attempt&>(check) = std::move(head);
  } else {
    check.method = "GET";
    check.headSaid = !head.error.empty() ? "failed: " + head.error
                     : !answered         ? "status " + std::to_string(head.status)
                                         : "no size";
    check.headHops = std::move(head.hops);
    request.method = "GET";
    request.range = "0-0";
    HeadSink firstByte(true);
    int begun = 0;              // the answers the judge has seen
    bool lastAnswered = false;  // the last try judged had an answer
    Attempt get = PerformWithRetries(
        connection, request, firstByte, deadline, [&](Attempt& tried, HttpRequest&) {
          lastAnswered = firstByte.begun > begun;
          begun = firstByte.begun;
          if (!lastAnswered) return tried.retryable ? Judgement::kRetry : Judgement::kGiveUp;
          if (IsWorthRetrying(0, tried.status)) {
            tried.error = StatusText(tried.status, tried.refusedRedirect);
            return Judgement::kRetry;
          }
          tried.error.clear();  // stopped at its headers, as it should
          return Judgement::kDone;
        });
    get.attempts += head.attempts;
    get.seconds += head.seconds;
    static_cast<Attempt&>(check) = std::move(get);
    if (check.interrupted || check.deadlinePassed) return check;
    answered = lastAnswered && TakeFacts(firstByte.head, url, check);
    if (lastAnswered) check.error.clear();  // an answer, judged below
  }
  if (check.interrupted || check.deadlinePassed) return check;
  if (answered) {
    if (IsWebPageInsteadOf(check.contentType, check.name)) {
      check.unavailable = "the server declares a web page (" + check.contentType +
                          ") instead of the file " + check.name;
    }
  } else if (check.error.empty() || check.status / 100 == 3) {
    // An answer that is no file: an HTTP error, a redirect that leads nowhere.
    check.unavailable =
        check.error.empty() ? StatusText(check.status, check.refusedRedirect) : check.error;
    check.error.clear();
  }
  return check;
}

}  // namespace velmora::host
