// get: the direct link fetched into the folder the user named, streamed to
// disk as NAME.part and renamed to NAME when it is whole.
#ifndef VELMORA_HOST_DOWNLOAD_DOWNLOADER_H_
#define VELMORA_HOST_DOWNLOAD_DOWNLOADER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/net/http_connection.h"

namespace velmora::host {

class ProgressDisplay;

class DownloadNames;

struct DownloadOptions {
  int folder = -1;                 // the output folder, open; nothing is written elsewhere
  std::string folderShown;         // its path with a trailing "/", for reports
  bool overwrite = false;          // replace a file of an earlier run with the same name
  bool resume = false;             // --continue: go on with a NAME.part of the same resource
  bool acceptWebPage = false;      // save a web page sent instead of the file
  DownloadNames* names = nullptr;  // the names the run holds, shared by every job
};

// What downloading the direct link came to: its last try (Attempt: status,
// final URL, tries, seconds for all of them, error empty when saved), and
// the file.
struct DownloadReport : Attempt {
  std::string path;            // the file saved; empty unless it was
  std::string partPath;        // the .part kept for --continue after a failure
  uint64_t size = 0;           // bytes in the file (or in the .part)
  int64_t expectedSize = -1;   // from Content-Length or Content-Range; -1: not said
  std::string sha256;          // hex, of the saved file
  uint64_t resumedFrom = 0;    // bytes of an earlier .part kept
  bool partResumable = false;  // the .part kept has a validator, so --continue can prove it
  std::string webPage;         // the first bytes of a web page refused in place of the file
};

// One job's downloads, one at a time, through its connection (sharing the
// run's cookie store, so the cookies of the page and the POST go along).
// Names come from Content-Disposition or the final URL, made safe
// (file_naming.h); the .part, its record and the name it becomes are
// part_file.h's. The bytes are saved as they come, not decoded; their
// SHA-256 is taken on the way. A web page sent instead of the file (declared
// HTML, starting with markup, for a name that is no .htm or .html) is
// refused. A failure keeps the .part that has bytes, for --continue; with
// --retries a cut transfer goes on from where it stopped.
class Downloader {
 public:
  Downloader(HttpConnection& connection, DownloadOptions options)
      : connection_(connection), options_(std::move(options)) {}

  // Where the download under way says when and why it waits (its --trace).
  void SetNote(std::function<void(std::string_view)> note) { note_ = std::move(note); }

  // Fetches url (an http or https URL, the direct link of the link the user
  // gave) with referer; display (may be null) shows it in slot.
  DownloadReport Fetch(const std::string& link, const std::string& url, const std::string& referer,
                       std::optional<HttpConnection::Clock::time_point> deadline,
                       ProgressDisplay* display, size_t slot);

 private:
  HttpConnection& connection_;
  DownloadOptions options_;
  std::function<void(std::string_view)> note_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_DOWNLOAD_DOWNLOADER_H_
