// The link runner: every link of a run through the plugin (and for get, its
// download), on up to --jobs threads, handed on in input order: its line on
// stdout, its sentence on stderr, its share of the exit code; then what an
// interrupt kept and the batch's summary.
#ifndef VELMORA_HOST_RUN_LINK_RUNNER_H_
#define VELMORA_HOST_RUN_LINK_RUNNER_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
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

// The links of a run, taken one at a time in input order.
class LinkFeed {
 public:
  virtual ~LinkFeed() = default;
  // The next link; false after the last.
  virtual bool Next(LinkItem& item) = 0;
  // How many links there are in all, when that is known without reading on.
  virtual std::optional<size_t> Total() const = 0;
  // Reads past the links not taken, counting them and handing each to each
  // (when set: --failed-to lists them); nullopt when that would wait on
  // input that may never come.
  virtual std::optional<size_t> SkipRest(const std::function<void(const LinkItem&)>& each) = 0;
};

// Links held in memory (replay's, tests').
class LinkList : public LinkFeed {
 public:
  explicit LinkList(std::vector<LinkItem> items) : items_(std::move(items)) {}
  bool Next(LinkItem& item) override {
    if (next_ >= items_.size()) return false;
    item = items_[next_++];
    return true;
  }
  std::optional<size_t> Total() const override { return items_.size(); }
  std::optional<size_t> SkipRest(const std::function<void(const LinkItem&)>& each) override {
    const size_t rest = items_.size() - next_;
    for (; next_ < items_.size(); ++next_) {
      if (each) each(items_[next_]);
    }
    return rest;
  }

 private:
  std::vector<LinkItem> items_;
  size_t next_ = 0;
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

// Links between two loads of the plugin in a long batch: a few hundred KB
// of links it keeps, and a reload (a few ms) per thousand links is noise.
constexpr size_t kPluginReloadEvery = 1000;

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
  // The plugin is loaded afresh after this many resolved links (0: never),
  // which frees the links it handed out (HostSession::ReloadPlugin).
  size_t reloadEvery = kPluginReloadEvery;
};

// Runs the links of feed through session, one job per tool set at once,
// taking each link only as a job starts it (batch_runner.h: at most a
// window's worth of links is held); returns the exit code (host/README.md):
// the highest of the links', or that of a signal or of a stdout that cannot
// be written.
int RunLinks(const RunSettings& settings, HostSession& session, std::vector<JobTools>& tools,
             LinkFeed& feed);

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
