// Where the plugin's page fetches and POSTs go: the network, the network
// while recording, or a recording.
#ifndef VELMORA_HOST_TRANSPORT_H_
#define VELMORA_HOST_TRANSPORT_H_

#include <cstddef>
#include <string>

#include "host/net/http_client.h"

namespace velmora::host {

// What resolving one link came to; the values are the exit codes (an
// interrupted run exits with 128 + the signal instead).
enum class Outcome {
  kLink = 0,
  kNoLink = 1,
  kNotFound = 2,       // the site reports the link invalid
  kDeleted = 3,        // the site reports the download link faulty
  kTransferError = 4,
  kReplayMismatch = 5,
  kBadLink = 6,        // the plugin's link is no http or https URL
  kIncomplete = 7,     // replay: the recording of the link was cut short
  kDownloadError = 8,  // get: the file could not be downloaded or saved
  kBadUrl = 64,        // a batch line that is no http or https URL
  kBadRecording = 66,  // replay: a recorded file cannot be read
  kInterrupted = 130,  // SIGINT or SIGTERM stopped the link
};

struct LinkResult {
  Outcome outcome = Outcome::kNoLink;
  std::string link;    // for kLink and kBadLink, as the plugin gave it
  std::string reason;  // why, for the failures the host finds
};

struct FetchResult {
  HttpResponse response;
  // Anything but kLink ends the link with that outcome and stopReason:
  // replay mismatches, a cut-short recording, an unreadable one, a signal.
  Outcome stop = Outcome::kLink;
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
};

class LiveTransport final : public Transport {
 public:
  explicit LiveTransport(HttpOptions options, CurlShare* share = nullptr)
      : client_(std::move(options), share) {}
  void BeginLink(size_t, const std::string&) override { client_.BeginLink(); }
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

#endif  // VELMORA_HOST_TRANSPORT_H_
