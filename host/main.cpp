// velmora-host: runs the Velmora plugin the way the download manager does,
// against live sites, recordings of them, or the bundled sample site.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/run/batch_runner.h"
#include "host/net/curl_share.h"
#include "host/commands/demo_site.h"
#include "host/download/download.h"
#include "host/commands/explain_command.h"
#include "host/session/host_session.h"
#include "host/cli/interrupt.h"
#include "host/run/link_report.h"
#include "host/io/progress_display.h"
#include "host/net/recording.h"
#include "host/io/safe_files.h"
#include "host/io/terminal_text.h"
#include "host/net/web_url.h"

namespace {

using namespace velmora::host;

// Exit codes beyond the link outcomes (0..7), after sysexits.h.
constexpr int kExitUsage = 64;
constexpr int kExitNoInput = 66;
constexpr int kExitNoPlugin = 69;
constexpr int kExitInternal = 70;
constexpr int kExitCannotWrite = 73;
constexpr int kExitOutput = 74;

constexpr size_t kMaxJobs = 64;

constexpr char kExitCodes[] =
    "Exit codes: 0 link found; 1 no link; 2 link invalid (%notfound%); 3 link faulty "
    "(%deleted%); 4 transfer error; 5 replay: a request the recording does not hold; 6 the "
    "plugin's link is no http or https URL; 7 replay: the link's recording was cut short; 8 get: "
    "the file could not be downloaded or saved; 9 explain: the explanation and the loaded "
    "plugin disagree; 64 "
    "usage error (a URL or batch line that is no http or https URL included); 66 no readable "
    "recording or batch file; 69 the plugin cannot be loaded; 70 internal error; 73 the "
    "recording, the debug dump or the output folder cannot be written; 74 standard output cannot be written; "
    "130 interrupted (SIGINT); 143 terminated (SIGTERM). Several links: the highest code.\n";

// Every sentence for the user; site bytes in it reach stderr escaped.
// One write, so that the line stays whole beside the lines of jobs' threads.
void Say(const std::string& sentence) {
  std::cerr << ("velmora-host: " + Shown(sentence) + "\n") << std::flush;
}

struct CommonOptions {
  std::string plugin;
  bool debug = false;
  std::string dumpDir;
  bool trace = false;
  bool traceCookies = false;
  bool json = false;
  size_t jobs = 1;
  HttpOptions http;
};

void AddCommonOptions(CLI::App& command, CommonOptions& options, bool network, bool results) {
  command.add_option("--plugin", options.plugin, "Plugin library to load")
      ->default_str("Velmora.plg next to velmora-host");
  command.add_flag("--debug", options.debug,
                   "Plugin debug mode: its log on stderr, the answer page dumped");
  command.add_option("--dump-dir", options.dumpDir,
                     "Folder for the debug dump (implies --debug; default: the current one)");
  command.add_flag("--trace", options.trace,
                   "Print every HTTP exchange on stderr: headers, redirects, sizes");
  command.add_flag("--trace-cookies", options.traceCookies,
                   "With --trace, show cookie and credential values instead of ***");
  if (results) {
    command.add_flag("--json", options.json,
                     "One JSON object per link on stdout (JSON Lines; schema in host/README.md)");
  }
  command.add_option("--max-page-bytes", options.http.maxPageBytes, "Largest page kept, in bytes")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, size_t{1} << 40));
  if (!network) return;
  command.add_option("--connect-timeout", options.http.connectTimeoutSeconds,
                     "Seconds to wait for a connection")
      ->capture_default_str()
      ->check(CLI::Range(1L, 3600L));
  command.add_option("--timeout", options.http.timeoutSeconds,
                     "Seconds one HTTP exchange may take in all")
      ->capture_default_str()
      ->check(CLI::Range(1L, 86400L));
  command.add_option("--retries", options.http.retries,
                     "Tries again after a connection failure, a timeout or a 5xx status, "
                     "waiting 0.5 s, 1 s, 2 s ... (never after 4xx)")
      ->capture_default_str()
      ->check(CLI::Range(0, 100));
  command.add_option("--deadline", options.http.deadlineSeconds,
                     "Seconds one link may take in all, retries included (0: no deadline)")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 86400.0));
  command.add_option("--proxy", options.http.proxy, "Proxy URL for every request but loopback");
  command.add_option("--user-agent", options.http.userAgent, "User-Agent header to send");
  command.add_option("--header", options.http.headers,
                     "Extra request header 'Name: value' (repeatable)");
  command.add_option("--cookies", options.http.cookieFile,
                     "Netscape cookie file: read at the start, written at the end");
}

// A link to resolve: from the command line (line 0) or a batch line, which
// may be bad (bad says why) and is then reported on its own.
struct BatchItem {
  size_t line = 0;
  std::string url;
  std::string bad;
};

struct Batch {
  std::vector<BatchItem> items;
  bool fromInput = false;  // stdin or a batch file: output is always per line
};

void ReadBatchLines(std::istream& in, Batch& batch) {
  batch.fromInput = true;
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t last = line.find_last_not_of(" \t\r");
    BatchItem item{number, line.substr(first, last - first + 1), {}};
    std::string why;
    if (!IsWebUrl(item.url, why)) item.bad = why;
    batch.items.push_back(std::move(item));
  }
}

// URL arguments ("-" for the lines of stdin) and batch files ("-" too).
// Returns 0, or the exit code of a usage error.
int CollectUrls(const std::vector<std::string>& arguments,
                const std::vector<std::string>& batchFiles, Batch& batch) {
  bool stdinRead = false;
  auto readStdin = [&] {
    if (!stdinRead) ReadBatchLines(std::cin, batch);
    stdinRead = true;
  };
  for (const std::string& argument : arguments) {
    if (argument == "-") {
      readStdin();
      continue;
    }
    std::string why;
    if (!IsWebUrl(argument, why)) {
      Say("\"" + argument + "\" is not an http or https URL (" + why +
          "); give links like http://host/path.");
      return kExitUsage;
    }
    batch.items.push_back({0, argument, {}});
  }
  for (const std::string& file : batchFiles) {
    if (file == "-") {
      readStdin();
      continue;
    }
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      Say("cannot read the batch file " + file + ": it is a folder.");
      return kExitNoInput;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      Say("cannot read the batch file " + file + ": " + std::strerror(errno) + ".");
      return kExitNoInput;
    }
    ReadBatchLines(in, batch);
  }
  if (InterruptSignal() != 0) return 128 + InterruptSignal();
  if (batch.items.empty()) {
    Say("no URL to resolve was given.");
    return kExitUsage;
  }
  return 0;
}

// Checks what libcurl would only find fault with in the middle of a run.
int CheckHttpOptions(const HttpOptions& http) {
  for (const std::string& header : http.headers) {
    std::string why;
    if (!IsHeaderLine(header, why)) {
      Say("--header \"" + header + "\": " + why + ".");
      return kExitUsage;
    }
  }
  struct stat info {};
  if (!http.cookieFile.empty() && stat(http.cookieFile.c_str(), &info) == 0 &&
      !S_ISREG(info.st_mode)) {
    Say("--cookies " + http.cookieFile + ": not a regular file.");
    return kExitUsage;
  }
  return 0;
}

std::unique_ptr<PluginLibrary> LoadPlugin(const CommonOptions& options) {
  return std::make_unique<PluginLibrary>(options.plugin.empty() ? DefaultPluginPath()
                                                                : options.plugin);
}

// The dump folder, made when missing and checked before anything else is
// created. The plugin appends its file name to the prefix as it is, so the
// folder goes over with its separator.
struct DumpFolder {
  UniqueFd folder;
  SessionOptions session;
};

// A folder the run writes into, made when missing; refused with a sentence
// naming it (what: "dump folder", ...) when it cannot be written.
UniqueFd OpenWritableFolder(const std::string& dir, const std::string& what) {
  UniqueFd folder;
  try {
    folder = OpenFolder(dir, true);
  } catch (const FileError& error) {
    throw RecordingError("the " + what + " cannot be used: " + error.what());
  }
  if (faccessat(folder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    throw RecordingError("the " + what + " " + dir + " is not writable: " + std::strerror(errno));
  }
  return folder;
}

DumpFolder PrepareSession(CommonOptions& options) {
  DumpFolder made;
  if (!options.dumpDir.empty()) options.debug = true;
  if (options.traceCookies) options.trace = true;
  made.session.debug = options.debug;
  made.session.trace = options.trace;
  made.session.traceCookies = options.traceCookies;
  if (!options.debug) return made;
  std::string dir = options.dumpDir.empty() ? "." : options.dumpDir;
  made.folder = OpenWritableFolder(dir, "dump folder");
  if (dir.back() != '/') dir += '/';
  made.session.dumpDir = dir;
  made.session.dumpFolder = made.folder.get();
  return made;
}

// The folder get saves into, made when missing and checked before anything
// else starts.
struct GetOptions {
  std::string dir;
  bool overwrite = false;
  bool resume = false;
  bool quiet = false;
};

struct OutputFolder {
  UniqueFd folder;
  DownloadOptions download;
};

OutputFolder PrepareOutput(const GetOptions& get) {
  OutputFolder made;
  std::string dir = get.dir.empty() ? "." : get.dir;
  made.folder = OpenWritableFolder(dir, "output folder");
  made.download.folder = made.folder.get();
  made.download.folderShown = get.dir.empty() ? "" : dir.back() == '/' ? dir : dir + "/";
  made.download.overwrite = get.overwrite;
  made.download.resume = get.resume;
  return made;
}

// One job's tools: its own curl handles, all sharing the run's cookie
// store, and what wraps them.
struct JobTools {
  std::unique_ptr<LiveTransport> live;
  std::unique_ptr<RecordingTransport> recorder;
  std::unique_ptr<ReplayTransport> replay;
  std::unique_ptr<Downloader> downloader;
  Transport* transport = nullptr;
};

// Job worker's HTTP options: only the first job reads and writes the cookie
// file (into the share, for all of them).
HttpOptions JobHttp(const HttpOptions& http, size_t worker) {
  HttpOptions mine = http;
  if (worker > 0) mine.cookieFile.clear();
  return mine;
}

struct RunContext {
  HostSession* session = nullptr;
  std::vector<JobTools>* tools = nullptr;
  bool batch = false;
  bool json = false;
  bool showProgress = false;  // not with --trace or --debug, whose lines would mix
  bool quiet = false;
  bool download = false;      // get
  bool trace = false;
  double deadlineSeconds = 0;
  const Recording* recording = nullptr;  // replay
  RecordingStore* recorder = nullptr;
};

std::string OutcomeWithLink(Outcome outcome, const std::string& link) {
  return std::string(OutcomeName(outcome)) + (link.empty() ? "" : " " + LinkText(link));
}

std::vector<std::string> ReplayNotes(const RecordedLink& recorded, const ReplayTransport& replay,
                                     const LinkReport& report) {
  const Outcome now = report.result.outcome;
  const bool finished = now != Outcome::kReplayMismatch && now != Outcome::kIncomplete &&
                        now != Outcome::kBadRecording && now != Outcome::kInterrupted;
  if (!finished) return {};
  std::vector<std::string> notes;
  const std::string then =
      recorded.result ? OutcomeWithLink(recorded.result->outcome, recorded.result->link)
                      : OutcomeName(Outcome::kInterrupted);
  const std::string given = OutcomeWithLink(now, report.result.link);
  if (then != given) {
    notes.push_back("note: when recorded, " + report.url + " gave " + then +
                    "; the plugin now gives " + given + ".");
  }
  if (replay.UnusedExchanges() > 0) {
    notes.push_back("note: the plugin made " + std::to_string(replay.UnusedExchanges()) +
                    " request(s) fewer for " + report.url + " than the recording holds.");
  }
  return notes;
}

// get: fetches the link report found into the output folder; a failure
// becomes the link's outcome.
void Download(const RunContext& run, JobTools& tools, LinkReport& report,
              std::chrono::steady_clock::time_point started, ProgressDisplay& display,
              const std::string& tag) {
  const std::string link = LinkText(report.result.link);
  // As a browser would: the answer page that gave the link is the referrer.
  const std::string referer = report.exchanges.empty() ? "" : report.exchanges.back().finalUrl;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (run.deadlineSeconds > 0) {
    deadline = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(run.deadlineSeconds));
  }
  const std::string prefix = tag.empty() ? "[trace] " : "[trace " + tag + "] ";
  if (run.trace) std::cerr << (prefix + Shown("GET " + link + " (the file)") + "\n");
  const size_t slot = display.Begin(link);
  report.download = tools.downloader->Fetch(link, referer, deadline, &display, slot);
  display.End(slot);
  const DownloadReport& download = *report.download;
  if (run.trace) {
    std::string summary = "  -> status " + std::to_string(download.status) + " from " +
                          LinkText(download.finalUrl) + ", " + std::to_string(download.size) +
                          " bytes in the file";
    if (download.resumedFrom > 0) summary += ", " + std::to_string(download.resumedFrom) + " kept";
    if (download.attempts > 1) summary += ", " + std::to_string(download.attempts) + " tries";
    if (!download.error.empty()) summary += ", failed: " + download.error;
    std::cerr << (prefix + Shown(summary) + "\n");
  }
  if (!download.path.empty()) return;
  report.result.outcome = download.interrupted ? Outcome::kInterrupted : Outcome::kDownloadError;
  report.result.reason = download.error;
}

std::string SavedSentence(const DownloadReport& download) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", download.seconds);
  std::string text = "saved " + download.path + " (" + std::to_string(download.size) +
                     " bytes in " + seconds + " s, " +
                     RateText(download.size - download.resumedFrom, download.seconds);
  if (download.resumedFrom > 0) {
    text += ", resumed after " + std::to_string(download.resumedFrom) + " bytes";
  }
  return text + ").";
}

// Runs the items, one job per tool set at once, and prints each report in input
// order: its output line, its sentence on stderr and its share of the exit
// code.
int ResolveAll(RunContext& run, const std::vector<BatchItem>& items) {
  const bool terminal = isatty(STDERR_FILENO) != 0;
  const bool display = run.showProgress && !run.quiet && terminal &&
                       (run.batch || run.download);
  ProgressDisplay progress(STDERR_FILENO, display, items.size(), run.download ? "files" : "links");
  // A link's place among those resolved, for the recording and the replay.
  std::vector<size_t> ordinals(items.size());
  size_t resolved = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    ordinals[i] = resolved;
    if (items[i].bad.empty()) ++resolved;
  }
  std::vector<std::vector<std::string>> notes(items.size());
  std::atomic<size_t> running{0};
  const bool parallel = run.tools->size() > 1;

  auto work = [&](size_t worker, size_t index) {
    const BatchItem& item = items[index];
    LinkReport report;
    if (!item.bad.empty()) {
      report.url = item.url;
      report.result = {Outcome::kBadUrl, {}, item.bad};
    } else {
      JobTools& tools = (*run.tools)[worker];
      progress.SetRunning(++running);
      LinkCall call;
      call.transport = tools.transport;
      call.ordinal = ordinals[index];
      if (run.batch) {
        char dumpName[64];
        std::snprintf(dumpName, sizeof dumpName, "%03zu-%s", index + 1, kDumpName);
        call.dumpName = dumpName;
      }
      if (parallel) call.tag = "#" + std::to_string(index + 1);
      const auto started = std::chrono::steady_clock::now();
      report = run.session->Resolve(item.url, call);
      if (run.recording != nullptr) {
        notes[index] = ReplayNotes(run.recording->links[ordinals[index]], *tools.replay, report);
      }
      if (run.download && report.result.outcome == Outcome::kLink) {
        Download(run, tools, report, started, progress, call.tag);
      }
      progress.SetRunning(--running);
    }
    report.line = item.line;
    return report;
  };

  int worst = 0;
  std::string worstWords;
  size_t found = 0, done = 0;
  bool dumpFailed = false;
  std::string outputError;
  auto deliver = [&](size_t index, LinkReport& report) {
    progress.Clear();
    const Outcome outcome = report.result.outcome;
    report.exitCode = ExitCodeOf(outcome, InterruptSignal());
    if (outcome != Outcome::kInterrupted) {
      ++done;
      if (report.exitCode > worst) worst = report.exitCode, worstWords = OutcomeWords(outcome);
    }
    if (outcome == Outcome::kLink) ++found;

    std::string line;
    if (run.json) {
      line = JsonLine(report);
    } else if (run.batch) {
      line = TsvLine(report);
    } else if (outcome == Outcome::kLink) {
      line = report.download ? Shown(report.download->path) : LinkText(report.result.link);
    }
    if (!line.empty() || run.json || run.batch) {
      try {
        WriteAll(STDOUT_FILENO, line + "\n", "standard output");
      } catch (const FileError& error) {
        outputError = error.what();
        return false;
      }
    }
    if (outcome != Outcome::kLink && outcome != Outcome::kInterrupted) {
      Say(ReasonSentence(report));
    } else if (outcome == Outcome::kLink && report.download && !run.quiet) {
      Say(SavedSentence(*report.download));
    }
    if (!report.dumpError.empty()) dumpFailed = true;
    for (const std::string& note : notes[index]) Say(note);
    progress.SetDone(index + 1);
    progress.Draw();
    return true;
  };

  RunBatch(items.size(), run.tools->size(), work, deliver, [&] { progress.Draw(); });
  progress.Clear();
  if (!outputError.empty()) {
    Say(outputError + "; stopped after " + std::to_string(done) + " of " +
        std::to_string(items.size()) + " links.");
    return kExitOutput;
  }
  if (InterruptSignal() != 0) {
    std::string kept = "interrupted by " + std::string(SignalName(InterruptSignal())) + " after " +
                       std::to_string(done) + " of " + std::to_string(items.size()) +
                       " links; their results above are complete";
    if (run.download) kept += "; a file cut short keeps its .part for --continue";
    if (run.recorder != nullptr) {
      const int begun = run.recorder->linksBegun(), finished = run.recorder->linksFinished();
      if (begun == 0) {
        run.recorder->Discard();
        kept += "; nothing was recorded, " + run.recorder->dir() + " is left as it was";
      } else {
        kept += "; the recording in " + run.recorder->dir() + " keeps " +
                std::to_string(finished) + " finished link(s)" +
                (begun > finished ? " and the interrupted one(s), marked as such" : "");
      }
    }
    Say(kept + ".");
    return 128 + InterruptSignal();
  }
  if (run.batch && worst != 0) {
    Say(std::to_string(found) + " of " + std::to_string(items.size()) +
        (run.download ? " links gave a saved file" : " links gave a download link") +
        "; the worst result was " + worstWords + ".");
  }
  if (dumpFailed) {
    Say("a debug dump could not be written (see above).");
    worst = std::max(worst, kExitCannotWrite);
  }
  return worst;
}

// The tools of up to jobs jobs, for items links: a live transport each, with
// a recorder or a downloader when the run wants one.
std::vector<JobTools> LiveTools(const HttpOptions& http, size_t jobs, size_t items,
                                CurlShare& share, RecordingStore* store,
                                const DownloadOptions* download) {
  std::vector<JobTools> tools(std::max<size_t>(1, std::min(jobs, items)));
  for (size_t worker = 0; worker < tools.size(); ++worker) {
    JobTools& mine = tools[worker];
    mine.live = std::make_unique<LiveTransport>(JobHttp(http, worker), &share);
    mine.transport = mine.live.get();
    if (store != nullptr) {
      mine.recorder = std::make_unique<RecordingTransport>(*mine.live, *store);
      mine.transport = mine.recorder.get();
    }
    if (download != nullptr) {
      mine.downloader = std::make_unique<Downloader>(JobHttp(http, 1), &share, *download);
    }
  }
  return tools;
}

int RunResolve(CommonOptions options, const std::vector<std::string>& arguments,
               const std::vector<std::string>& batchFiles, const std::string& recordDir) {
  Batch batch;
  if (const int code = CollectUrls(arguments, batchFiles, batch)) return code;
  if (const int code = CheckHttpOptions(options.http)) return code;
  // Everything that can fail at the start does so before the recording exists.
  DumpFolder dump = PrepareSession(options);
  auto plugin = LoadPlugin(options);
  CurlShare share;
  std::vector<JobTools> tools = LiveTools(options.http, options.jobs, batch.items.size(), share,
                                          nullptr, nullptr);
  std::unique_ptr<RecordingStore> recorder;
  if (!recordDir.empty()) {
    recorder = std::make_unique<RecordingStore>(recordDir);
    for (JobTools& mine : tools) {
      mine.recorder = std::make_unique<RecordingTransport>(*mine.live, *recorder);
      mine.transport = mine.recorder.get();
    }
  }
  try {
    HostSession session(*plugin, *tools[0].transport, dump.session, std::cerr);
    RunContext run;
    run.session = &session;
    run.tools = &tools;
    run.batch = batch.fromInput || batch.items.size() > 1;
    run.json = options.json;
    run.showProgress = !options.trace && !options.debug;
    run.recorder = recorder.get();
    const int code = ResolveAll(run, batch.items);
    if (recorder && InterruptSignal() == 0) {
      if (recorder->linksBegun() == 0) {
        recorder->Discard();  // every line was bad: nothing to replay
      } else {
        Say("recorded to " + recordDir);
      }
    }
    return code;
  } catch (...) {
    if (recorder && recorder->linksBegun() == 0) recorder->Discard();
    throw;
  }
}

int RunGet(CommonOptions options, const std::vector<std::string>& arguments,
           const std::vector<std::string>& batchFiles, const GetOptions& get) {
  Batch batch;
  if (const int code = CollectUrls(arguments, batchFiles, batch)) return code;
  if (const int code = CheckHttpOptions(options.http)) return code;
  DumpFolder dump = PrepareSession(options);
  OutputFolder output = PrepareOutput(get);
  auto plugin = LoadPlugin(options);
  CurlShare share;
  std::vector<JobTools> tools = LiveTools(options.http, options.jobs, batch.items.size(), share,
                                          nullptr, &output.download);
  HostSession session(*plugin, *tools[0].transport, dump.session, std::cerr);
  RunContext run;
  run.session = &session;
  run.tools = &tools;
  run.batch = batch.fromInput || batch.items.size() > 1;
  run.json = options.json;
  run.showProgress = !options.trace && !options.debug;
  run.quiet = get.quiet;
  run.download = true;
  run.trace = options.trace;
  run.deadlineSeconds = options.http.deadlineSeconds;
  return ResolveAll(run, batch.items);
}

int RunReplay(CommonOptions options, const std::string& dir) {
  Recording recording;
  try {
    recording = LoadRecording(dir, options.http.maxPageBytes);
  } catch (const RecordingError& error) {
    Say(std::string("cannot replay: ") + error.what() + ".");
    return kExitNoInput;
  }
  for (const std::string& note : recording.notes) Say("note: " + note + ".");
  if (recording.links.empty()) {
    Say("cannot replay: the recording in " + dir + " holds no link.");
    return kExitNoInput;
  }
  std::vector<BatchItem> items;
  for (const RecordedLink& link : recording.links) items.push_back({0, link.url, {}});
  DumpFolder dump = PrepareSession(options);
  auto plugin = LoadPlugin(options);
  std::vector<JobTools> tools(std::min(options.jobs, items.size()));
  for (JobTools& mine : tools) {
    mine.replay = std::make_unique<ReplayTransport>(recording);
    mine.transport = mine.replay.get();
  }
  HostSession session(*plugin, *tools[0].transport, dump.session, std::cerr);
  RunContext run;
  run.session = &session;
  run.tools = &tools;
  run.batch = items.size() > 1;
  run.json = options.json;
  run.showProgress = !options.trace && !options.debug;
  run.recording = &recording;
  return ResolveAll(run, items);
}

// The sample site's link as it stands for the real one.
std::string ShownSampleLink(const std::string& link, const std::string& base) {
  if (link.rfind(base + "/", 0) != 0) return LinkText(link);
  return kShownDownloadHost + LinkText(link.substr(base.size()));
}

int RunDemo(CommonOptions options, const GetOptions& get) {
  if (const int code = CheckHttpOptions(options.http)) return code;
  DumpFolder dump = PrepareSession(options);
  OutputFolder output = PrepareOutput(get);
  auto plugin = LoadPlugin(options);
  DemoServer server;
  // The sample site is local; waiting long would only hide a fault.
  options.http.connectTimeoutSeconds = std::min(options.http.connectTimeoutSeconds, 5L);
  options.http.timeoutSeconds = std::min(options.http.timeoutSeconds, 30L);
  CurlShare share;
  std::vector<JobTools> tools = LiveTools(options.http, 1, 1, share, nullptr, &output.download);
  HostSession session(*plugin, *tools[0].transport, dump.session, std::cerr);

  std::cout << "Velmora demo: the plugin " << Shown(plugin->path()) << " resolves links of "
            << Shown(session.servedHost()) << ".\n"
            << "The bundled sample site stands in for it at " << server.baseUrl() << ".\n\n";
  size_t asExpected = 0;
  const SampleLink* toFetch = nullptr;
  for (const SampleLink& sample : SampleLinks()) {
    if (InterruptSignal() != 0) break;
    LinkReport report = session.Resolve(server.baseUrl() + sample.path);
    report.url = sample.shownUrl;
    const LinkResult& result = report.result;
    const std::string shownLink = ShownSampleLink(result.link, server.baseUrl());
    std::cout << sample.shownUrl << "\n  ";
    switch (result.outcome) {
      case Outcome::kLink:
        std::cout << "download link: " << shownLink;
        break;
      case Outcome::kNotFound:
        std::cout << "the site reports this link as invalid (%notfound%)";
        break;
      case Outcome::kDeleted:
        std::cout << "the site reports the download link as faulty (%deleted%)";
        break;
      default:
        std::cout << Shown(ReasonSentence(report));
        break;
    }
    std::cout << "\n";
    if (result.outcome == sample.expected && shownLink == sample.expectedLink) {
      ++asExpected;
      if (result.outcome == Outcome::kLink && toFetch == nullptr) toFetch = &sample;
    }
  }
  std::cout << '\n' << asExpected << " of " << SampleLinks().size()
            << " sample links gave the expected result.\n" << std::flush;

  // Then the whole job, as get does it: resolve, download, check.
  bool saved = false;
  if (toFetch != nullptr && InterruptSignal() == 0) {
    std::cout << "\nget " << toFetch->shownUrl << ":\n" << std::flush;
    RunContext run;
    run.session = &session;
    run.tools = &tools;
    run.download = true;
    run.trace = options.trace;
    ProgressDisplay progress(STDERR_FILENO, !options.trace && !options.debug &&
                                                isatty(STDERR_FILENO) != 0, 1, "files");
    LinkCall call;
    call.transport = tools[0].transport;
    const auto started = std::chrono::steady_clock::now();
    LinkReport report = session.Resolve(server.baseUrl() + toFetch->path, call);
    if (report.result.outcome == Outcome::kLink) {
      Download(run, tools[0], report, started, progress, {});
    }
    progress.Clear();
    report.url = toFetch->shownUrl;
    if (report.result.outcome == Outcome::kLink) {
      const DownloadReport& file = *report.download;
      std::cout << "  saved to: " << Shown(file.path) << "\n  size:     " << file.size
                << " bytes\n  SHA-256:  " << file.sha256 << "\n";
      saved = true;
    } else {
      std::cout << "  " << Shown(ReasonSentence(report)) << "\n";
    }
    std::cout << std::flush;
  }
  if (!std::cout) {
    Say("cannot write to standard output.");
    return kExitOutput;
  }
  if (InterruptSignal() != 0) {
    Say(std::string("interrupted by ") + SignalName(InterruptSignal()) + ".");
    return 128 + InterruptSignal();
  }
  if (asExpected != SampleLinks().size() || !saved) {
    Say("the demo did not give the expected results; run it with --trace --debug to see why.");
    return 1;
  }
  return 0;
}

int PrintVersion() {
  std::cout << "velmora-host " << VELMORA_VERSION << "\n";
  int code = 0;
  const std::string path = DefaultPluginPath();
  try {
    PluginLibrary plugin(path);
    const std::string id = plugin.BuildId();
    std::cout << "plugin: " << Shown(path) << (id.empty() ? " (no build id)" : ", build id " + id)
              << "\n";
  } catch (const PluginLoadError& error) {
    std::cout << "plugin: " << Shown(error.what()) << "\n";
    code = kExitNoPlugin;
  }
  std::cout << CurlVersionText() << "\n" << std::flush;
  if (!std::cout) {
    Say("cannot write to standard output.");
    return kExitOutput;
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velmora-host: runs the Velmora plugin as the download manager does."};
  app.require_subcommand(0, 1);
  app.footer(kExitCodes);
  bool version = false;
  app.add_flag("--version", version,
               "Print the program's version, the plugin's build id and libcurl's version");

  CommonOptions options;
  std::vector<std::string> arguments;
  std::vector<std::string> batchFiles;
  std::string recordDir;
  std::string replayDir;

  CLI::App* resolve = app.add_subcommand(
      "resolve", "Resolve links over HTTP (\"-\" or -a FILE: one URL a line, # comments)");
  AddCommonOptions(*resolve, options, true, true);
  resolve->add_option("--record", recordDir,
                      "Save every exchange to this new or empty folder for replay");
  resolve->add_option("-a,--batch-file", batchFiles,
                      "Read URLs from FILE, one a line (\"-\" for stdin); blank lines and # "
                      "comments are skipped, bad lines reported one by one");
  resolve->add_option("URL", arguments, "Links to file pages");
  resolve->footer(kExitCodes);

  resolve->add_option("-j,--jobs", options.jobs, "Links resolved at once")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, kMaxJobs));

  CLI::App* get = app.add_subcommand(
      "get", "Resolve links and download their files (\"-\" or -a FILE: one URL a line)");
  AddCommonOptions(*get, options, true, true);
  GetOptions getOptions;
  size_t getJobs = 4;
  get->add_option("-a,--batch-file", batchFiles,
                  "Read URLs from FILE, one a line (\"-\" for stdin); blank lines and # "
                  "comments are skipped, bad lines reported one by one");
  get->add_option("-o,--output-dir", getOptions.dir,
                  "Folder to save the files in (created when missing)")
      ->default_str("the current one");
  get->add_flag("--overwrite", getOptions.overwrite,
                "Replace a file of the same name (else the name gets \" (1)\", \" (2)\" ...)");
  get->add_flag("-c,--continue", getOptions.resume,
                "Go on with a NAME.part an earlier run left (a Range request)");
  get->add_flag("-q,--quiet", getOptions.quiet, "No progress display, no line per saved file");
  get->add_option("-j,--jobs", getJobs, "Links resolved and downloaded at once")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, kMaxJobs));
  get->add_option("URL", arguments, "Links to file pages");
  get->footer(kExitCodes);

  CLI::App* replay = app.add_subcommand("replay", "Resolve from a recording, without network");
  AddCommonOptions(*replay, options, false, true);
  replay->add_option("-j,--jobs", options.jobs, "Links replayed at once")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, kMaxJobs));
  replay->add_option("DIR", replayDir, "Folder made by resolve --record")->required();
  replay->footer(kExitCodes);

  ExplainOptions explainOptions;
  CLI::App* explain = AddExplainCommand(app, explainOptions);

  CLI::App* demo = app.add_subcommand(
      "demo", "Resolve the sample links of the bundled site, then get its file");
  AddCommonOptions(*demo, options, true, false);
  demo->add_option("-o,--output-dir", getOptions.dir, "Folder to save the sample file in")
      ->default_str("the current one");
  demo->add_flag("--overwrite", getOptions.overwrite, "Replace a sample file saved before");
  demo->footer(kExitCodes);

  try {
    app.parse(argc, argv);
    if (!version && app.get_subcommands().empty()) {
      throw CLI::RequiredError("A subcommand");
    }
    if ((resolve->parsed() || get->parsed()) && arguments.empty() && batchFiles.empty()) {
      throw CLI::RequiredError("URL");
    }
    if (get->parsed()) options.jobs = getJobs;
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : kExitUsage;
  }

  CatchInterrupts();
  try {
    if (version) return PrintVersion();
    if (resolve->parsed()) return RunResolve(options, arguments, batchFiles, recordDir);
    if (get->parsed()) return RunGet(options, arguments, batchFiles, getOptions);
    if (replay->parsed()) return RunReplay(options, replayDir);
    if (explain->parsed()) return RunExplain(explainOptions);
    return RunDemo(options, getOptions);
  } catch (const PluginLoadError& error) {
    Say(std::string(error.what()) + ".");
    return kExitNoPlugin;
  } catch (const RecordingError& error) {
    Say(std::string(error.what()) + ".");
    return kExitCannotWrite;
  } catch (const std::exception& error) {
    Say(std::string("internal error: ") + error.what() + ".");
    return kExitInternal;
  }
}
