// What one link came to, with everything the run learnt about it: the one
// record that the line output, the JSON output and the exit code are all
// made from.
#ifndef VELMORA_HOST_RUN_LINK_REPORT_H_
#define VELMORA_HOST_RUN_LINK_REPORT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/download/downloader.h"
#include "host/download/file_check.h"
#include "host/net/http_connection.h"
#include "host/run/outcome.h"

namespace velmora::host {

// One exchange of a link, as made (or replayed).
struct ExchangeLog {
  std::string method;
  std::string url;
  size_t bytesSent = 0;  // the POST body
  long status = 0;
  std::string finalUrl;
  long redirects = 0;        // -1: not known (an old recording)
  long long wireBytes = -1;  // body bytes before decoding; -1: not known
  size_t bytesReceived = 0;  // the page as the plugin got it
  double seconds = 0;
  int attempts = 1;
  std::string error;  // empty when it succeeded
  std::vector<HttpHop> hops;
};

struct LinkReport {
  size_t line = 0;  // line in the batch input; 0 for a command-line URL
  std::string url;
  LinkResult result;
  std::vector<ExchangeLog> exchanges;
  std::string dumpPath;                    // the debug dump written for this link
  std::string dumpError;                   // why the dump could not be written
  std::optional<DownloadReport> download;  // get, when the link was fetched
  std::optional<FileCheck> check;          // check, when the direct link was asked
  std::string archiveError;                // why the saved file's link is not in the archive
  int exitCode = 0;
};

// The sentence saying what happened to the link: as it is (JSON), or for a
// terminal, its site bytes escaped (Shown) and its paths PathText.
std::string ReasonSentence(const LinkReport& report, bool terminal = false);

// "saved PATH (N bytes in S s, RATE[, resumed after N bytes]).", for a
// terminal.
std::string SavedSentence(const DownloadReport& download);

// "URL<TAB>RESULT", both printable: the URL and a link percent-encoded, a
// path as PathText.
std::string TsvLine(const LinkReport& report);

// check's line: "URL<TAB>RESULT<TAB>NAME<TAB>SIZE<TAB>TYPE<TAB>FINAL-URL",
// RESULT the outcome's words, each field printable ("-" when not known,
// SIZE "unknown"), the URLs percent-encoded.
std::string CheckLine(const LinkReport& report);

// A saved file's path for a terminal: as it is, so that it can be used, or
// escaped (Shown) when the folder the user named holds bytes a terminal
// would act on (the name the site gave is safe already).
std::string PathText(const std::string& path);

// One JSON object on one line, pure ASCII (see host/README.md for the schema).
std::string JsonLine(const LinkReport& report);

}  // namespace velmora::host

#endif  // VELMORA_HOST_RUN_LINK_REPORT_H_
