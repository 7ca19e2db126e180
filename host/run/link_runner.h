// The link runner: every link of a run through the plugin (and for get, its
// download), on up to --jobs threads, handed on in input order: its line on
// stdout, its sentence on stderr, its share of the exit code; then what an
// interrupt kept and the batch's summary.
#ifndef VELMORA_HOST_RUN_LINK_RUNNER_H_
#define VELMORA_HOST_RUN_LINK_RUNNER_H_

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/download/downloader.h"
#include "host/net/curl_share.h"
#include "host/net/http_connection.h"
#include "host/net/recording.h"
#include "host/net/transport.h"
#include "host/session/host_session.h"

namespace velmora::host {

class Archive;
class FailedLinks;

// A link to run: from the command line (line 0) or a batch line, which may
// be bad (bad says why) and is then reported on its own.
struct LinkItem {
  size_t line = 0;
  std::string url;
  std::string bad;
};

// One job's tools: its own connection (all sharing the run's cookie store)
// and what wraps it.
struct JobTools {
  std::unique_ptr<HttpConnection> connection;
  std::unique_ptr<LiveTransport> live;
  std::unique_ptr<RecordingTransport> recorder;
  std::unique_ptr<ReplayTransport> replay;
  std::unique_ptr<Downloader> downloader;
  Transport* transport = nullptr;
};

// The tools of up to jobs jobs for links links, live: a connection each
// (the first one reads and writes the cookie file, for all of them), with a
// recorder (store) or a downloader (download) when the run wants one.
std::vector<JobTools> LiveTools(const HttpOptions& http, size_t jobs, size_t links,
                                CurlShare& share, RecordingStore* store,
                                const DownloadOptions* download);
// The tools of up to jobs jobs replaying recording.
std::vector<JobTools> ReplayTools(const Recording& recording, size_t jobs, size_t links);

struct RunSettings {
  bool batch = false;  // per-link lines on stdout, whatever the count
  bool json = false;
  bool showProgress = false;  // not with --trace or --debug, whose lines would mix
  bool quiet = false;         // get -q: no display, no line per saved file
  bool download = false;      // get
  bool check = false;         // check: the direct link asked what it delivers, a line per link
  bool trace = false;
  bool traceCookies = false;
  double deadlineSeconds = 0;
  const Recording* recording = nullptr;  // replay
  RecordingStore* recorder = nullptr;
  Archive* archive = nullptr;     // get --archive: links in it skipped, saved ones added
  FailedLinks* failed = nullptr;  // --failed-to: every link that did not succeed
};

// Runs items through session, one job per tool set at once; returns the
// exit code (host/README.md): the highest of the links', or that of a
// signal or of a stdout that cannot be written.
int RunLinks(const RunSettings& settings, HostSession& session, std::vector<JobTools>& tools,
             const std::vector<LinkItem>& items);

// get's step after the link: downloads the direct link of report through
// tools, deadline counted from started; a failure becomes the link's
// outcome.
void DownloadLink(const RunSettings& settings, JobTools& tools, LinkReport& report,
                  HttpConnection::Clock::time_point started, ProgressDisplay& display,
                  const std::string& tag);

// check's step after the link: asks the direct link of report what it
// would deliver (file_check.h), through tools' connection, deadline counted
// from started; a file it would not deliver becomes the link's outcome.
void CheckLink(const RunSettings& settings, JobTools& tools, LinkReport& report,
               HttpConnection::Clock::time_point started, const std::string& tag);

}  // namespace velmora::host

#endif  // VELMORA_HOST_RUN_LINK_RUNNER_H_
