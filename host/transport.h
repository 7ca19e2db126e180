// Where the plugin's page fetches and POSTs go: the network, the network
// while recording, or a recording.
#ifndef VELMORA_HOST_TRANSPORT_H_
#define VELMORA_HOST_TRANSPORT_H_

#include <string>

#include "host/http_client.h"

namespace velmora::host {

// What resolving one link came to; the values are the exit codes.
enum class Outcome {
  kLink = 0,
  kNoLink = 1,
  kNotFound = 2,       // the site reports the link invalid
  kDeleted = 3,        // the site reports the download link faulty
  kTransferError = 4,
  kReplayMismatch = 5,
};

struct LinkResult {
  Outcome outcome = Outcome::kNoLink;
  std::string link;    // for kLink
  std::string reason;  // for kTransferError and kReplayMismatch
};

struct FetchResult {
  HttpResponse response;
  std::string mismatch;  // replay only: how the request differs from the recording
};

class Transport {
 public:
  virtual ~Transport() = default;
  virtual void BeginLink(const std::string& url) { (void)url; }
  // method is "GET" or "POST"; body is the encoded form for a POST.
  virtual FetchResult Fetch(const std::string& method, const std::string& url,
                            const std::string& body) = 0;
  virtual void EndLink(const LinkResult& result) { (void)result; }
};

class LiveTransport final : public Transport {
 public:
  explicit LiveTransport(HttpOptions options) : client_(std::move(options)) {}
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override {
    return {method == "POST" ? client_.Post(url, body) : client_.Get(url), {}};
  }

 private:
  HttpClient client_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_TRANSPORT_H_
