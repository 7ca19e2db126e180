// Where the plugin's page fetches and POSTs go: the network, the network
// while recording, or a recording.
#ifndef VELMORA_HOST_NET_TRANSPORT_H_
#define VELMORA_HOST_NET_TRANSPORT_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "host/net/http_client.h"
#include "host/run/outcome.h"

namespace velmora::host {

struct FetchResult {
  HttpResponse response;
  // Ends the link with that outcome and stopReason: a replay mismatch, a
  // cut-short recording, an unreadable one, a signal.
  std::optional<Outcome> stop;
  std::string stopReason;
};

// One link at a time. With several links at once each job has its own.
class Transport {
 public:
  virtual ~Transport() = default;
  // ordinal: the link's place among the links the run resolves (0, 1, ...),
  // whichever job resolves it.
  virtual void BeginLink(size_t ordinal, const std::string& url) {
    (void)ordinal;
    (void)url;
  }
  // method is "GET" or "POST"; body is the encoded form for a POST.
  virtual FetchResult Fetch(const std::string& method, const std::string& url,
                            const std::string& body) = 0;
  virtual void EndLink(const LinkResult& result) { (void)result; }
  // Where the link under way says when and why it waits (its --trace).
  virtual void SetNote(std::function<void(std::string_view)> note) { (void)note; }
};

class LiveTransport final : public Transport {
 public:
  explicit LiveTransport(HttpConnection& connection) : client_(connection) {}
  void BeginLink(size_t, const std::string&) override { client_.BeginLink(); }
  void SetNote(std::function<void(std::string_view)> note) override {
    client_.SetNote(std::move(note));
  }
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override {
    FetchResult result{method == "POST" ? client_.Post(url, body) : client_.Get(url), {}, {}};
    if (result.response.interrupted) {
      result.stop = Outcome::kInterrupted;
      result.stopReason = result.response.error;
    }
    return result;
  }

 private:
  HttpClient client_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_TRANSPORT_H_
