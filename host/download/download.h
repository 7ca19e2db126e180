// get: the direct link fetched into the folder the user named, streamed to
// disk as NAME.part and renamed to NAME when it is whole.
#ifndef VELMORA_HOST_DOWNLOAD_H_
#define VELMORA_HOST_DOWNLOAD_H_

#include <chrono>
#include <optional>
#include <string>

#include "host/net/http_client.h"
#include "host/run/link_report.h"

namespace velmora::host {

class CurlShare;
class ProgressDisplay;

struct DownloadOptions {
  int folder = -1;          // the output folder, open; nothing is written elsewhere
  std::string folderShown;  // its path with a trailing "/", for reports
  bool overwrite = false;   // replace a file of the same name
  bool resume = false;      // --continue: go on with a NAME.part left before
};

// One job's downloads, one at a time, through its own curl handle (sharing
// the run's cookie store, so the cookies of the page and the POST go
// along). Names come from Content-Disposition or the final URL, made safe
// (file_naming.h). An existing file is never overwritten without
// options.overwrite: the name gets " (1)", " (2)" ...; a NAME.part another
// job or program holds (flock) is left alone. The bytes are saved as they
// come, not decoded; their SHA-256 is taken on the way. A failure keeps the
// .part that has bytes, for --continue; with --retries a cut transfer goes
// on from where it stopped. --timeout is the longest the transfer may
// stall, the deadline bounds it in all.
class Downloader {
 public:
  using Clock = std::chrono::steady_clock;

  Downloader(HttpOptions http, CurlShare* share, DownloadOptions options);
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Fetches url (an http or https URL) with referer; display (may be null)
  // shows it in slot.
  DownloadReport Fetch(const std::string& url, const std::string& referer,
                       std::optional<Clock::time_point> deadline, ProgressDisplay* display,
                       size_t slot);

 private:
  HttpOptions http_;
  DownloadOptions options_;
  void* curl_;  // CURL*, kept out of this header
  struct curl_slist* headers_ = nullptr;
  std::string noProxy_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_DOWNLOAD_H_
