#include "host/run/link_runner.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "host/cli/exit_codes.h"
#include "host/cli/interrupt.h"
#include "host/io/diagnostics.h"
#include "host/io/progress_display.h"
#include "host/io/safe_files.h"
#include "host/io/terminal_text.h"
#include "host/run/archive.h"
#include "host/run/batch_runner.h"
#include "host/run/failed_links.h"
#include "host/run/link_report.h"
#include "host/session/link_trace.h"

namespace velmora::host {
namespace {

using Clock = HttpConnection::Clock;

std::string OutcomeWithLink(Outcome outcome, const std::string& link) {
  return std::string(OutcomeName(outcome)) + (link.empty() ? "" : " " + LinkText(link));
}

// replay: what differs from the run that was recorded.
std::vector<std::string> ReplayNotes(const RecordedLink& recorded, const ReplayTransport& replay,
                                     const LinkReport& report) {
  const Outcome now = report.result.outcome;
  const bool finished = now != Outcome::kReplayMismatch && now != Outcome::kIncomplete &&
                        now != Outcome::kBadRecording && now != Outcome::kInterrupted;
  if (!finished) return {};
  std::vector<std::string> notes;
  const std::string then = recorded.result
                               ? OutcomeWithLink(recorded.result->outcome, recorded.result->link)
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

// What an interrupted run kept, as one sentence.
// ofTotal: " of N" when the number of links is known, else empty.
std::string InterruptedSentence(const RunSettings& settings, size_t done,
                                const std::string& ofTotal) {
  std::string kept = "interrupted by " + std::string(SignalName(InterruptSignal())) + " after " +
                     std::to_string(done) + ofTotal + " links; their results above are complete";
  if (settings.download) kept += "; a file cut short keeps its .part for --continue";
  RecordingStore* recorder = settings.recorder;
  if (recorder != nullptr) {
    const int begun = recorder->linksBegun(), finished = recorder->linksFinished();
    if (begun == 0) {
      recorder->Discard();
      kept += "; nothing was recorded, " + recorder->dir() + " is left as it was";
    } else {
      kept += "; the recording in " + recorder->dir() + " keeps " + std::to_string(finished) +
              " finished link(s)" +
              (begun > finished ? " and the interrupted one(s), marked as such" : "");
    }
  }
  return kept + ".";
}

}  // namespace

std::vector<JobTools> LiveTools(const HttpOptions& http, size_t jobs, size_t links,
                                CurlShare& share, RecordingStore* store,
                                const DownloadOptions* download) {
  std::vector<JobTools> tools(std::max<size_t>(1, std::min(jobs, links)));
  for (size_t worker = 0; worker < tools.size(); ++worker) {
    JobTools& mine = tools[worker];
    HttpOptions options = http;
    // The cookie file goes into the share once, and out of it once, when
    // the run's connections end.
    if (worker > 0) options.cookieFile.clear();
    mine.connection = std::make_unique<HttpConnection>(options, &share);
    mine.live = std::make_unique<LiveTransport>(*mine.connection);
    mine.transport = mine.live.get();
    if (store != nullptr) {
      mine.recorder = std::make_unique<RecordingTransport>(*mine.live, *store);
      mine.transport = mine.recorder.get();
    }
    if (download != nullptr) {
      mine.downloader = std::make_unique<Downloader>(*mine.connection, *download);
    }
  }
  return tools;
}

std::vector<JobTools> ReplayTools(const Recording& recording, size_t jobs, size_t links) {
  std::vector<JobTools> tools(std::max<size_t>(1, std::min(jobs, links)));
  for (JobTools& mine : tools) {
    mine.replay = std::make_unique<ReplayTransport>(recording);
    mine.transport = mine.replay.get();
  }
  return tools;
}

namespace {

// As a browser would: the answer page that gave the link is the referrer
// of the file's request.
std::string Referer(const LinkReport& report) {
  return report.exchanges.empty() ? "" : report.exchanges.back().finalUrl;
}

// When --deadline ends the link that started then; none without it.
std::optional<Clock::time_point> LinkDeadline(const RunSettings& settings,
                                              Clock::time_point started) {
  if (settings.deadlineSeconds <= 0) return std::nullopt;
  return started + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(settings.deadlineSeconds));
}

}  // namespace

void DownloadLink(const RunSettings& settings, JobTools& tools, LinkReport& report,
                  Clock::time_point started, ProgressDisplay& display, const std::string& tag) {
  const std::string link = LinkText(report.result.link);
  const std::string referer = Referer(report);
  const std::optional<Clock::time_point> deadline = LinkDeadline(settings, started);
  const LinkTrace trace(settings.trace, settings.traceCookies, tag);
  trace.Line("GET " + link + " (the file)");
  const size_t slot = display.Begin(link);
  if (trace.on()) {
    tools.downloader->SetNote([&trace](std::string_view line) { trace.Line(line); });
  } else {
    tools.downloader->SetNote(nullptr);
  }
  report.download = tools.downloader->Fetch(report.url, link, referer, deadline, &display, slot);
  tools.downloader->SetNote(nullptr);
  display.End(slot);
  const DownloadReport& download = *report.download;
  if (trace.on()) {
    trace.Hops(download.hops);
    std::string summary = "  -> status " + std::to_string(download.status) + " from " +
                          LinkText(download.finalUrl) + ", " + std::to_string(download.size) +
                          " bytes in the file";
    if (download.resumedFrom > 0) summary += ", " + std::to_string(download.resumedFrom) + " kept";
    if (download.attempts > 1) summary += ", " + std::to_string(download.attempts) + " tries";
    if (!download.error.empty()) summary += ", failed: " + download.error;
    trace.Line(summary);
  }
  if (!download.path.empty()) return;
  report.result.outcome = download.interrupted ? Outcome::kInterrupted : Outcome::kDownloadError;
  report.result.reason = download.error;
}

void CheckLink(const RunSettings& settings, JobTools& tools, LinkReport& report,
               Clock::time_point started, const std::string& tag) {
  const std::string link = LinkText(report.result.link);
  const std::string referer = Referer(report);
  const std::optional<Clock::time_point> deadline = LinkDeadline(settings, started);
  const LinkTrace trace(settings.trace, settings.traceCookies, tag);
  trace.Line("HEAD " + link + " (the file, not downloaded)");
  std::function<void(std::string_view)> note;
  if (trace.on()) note = [&trace](std::string_view line) { trace.Line(line); };
  report.check = CheckFile(*tools.connection, link, referer, deadline, note);
  const FileCheck& file = *report.check;
  if (trace.on()) {
    if (file.method == "GET") {
      trace.Hops(file.headHops);
      trace.Line("  -> HEAD " + file.headSaid + "; GET " + link +
                 " for its first byte only (Range: bytes=0-0), stopped after the headers");
    }
    trace.Hops(file.hops);
    std::string summary = "  -> status " + std::to_string(file.status) + " from " +
                          LinkText(file.finalUrl) + ", size " +
                          (file.size >= 0 ? std::to_string(file.size) : "unknown");
    const int tries = file.attempts - (file.method == "GET" ? 1 : 0);  // the HEAD's aside
    if (tries > 1) summary += ", " + std::to_string(tries) + " tries";
    if (!file.unavailable.empty()) summary += ", unavailable: " + file.unavailable;
    if (!file.error.empty()) summary += ", failed: " + file.error;
    trace.Line(summary);
  }
  if (file.interrupted) {
    report.result.outcome = Outcome::kInterrupted;
    report.result.reason = file.error;
  } else if (!file.unavailable.empty()) {
    report.result.outcome = Outcome::kUnavailable;
    report.result.reason = file.unavailable;
  } else if (!file.error.empty()) {
    report.result.outcome = Outcome::kTransferError;
    report.result.reason = file.error;
  }
}

int RunLinks(const RunSettings& settings, HostSession& session, std::vector<JobTools>& tools,
             LinkFeed& feed) {
  const bool terminal = isatty(STDERR_FILENO) != 0;
  const bool shown =
      settings.showProgress && !settings.quiet && terminal && (settings.batch || settings.download);
  ProgressDisplay progress(shown, feed.Total(), settings.download ? "files" : "links");
  // What a link needs from its taking to its delivery, in the slot
  // index % window, so that memory does not grow with the batch. 256 slots
  // (4 a job, when more): behind a slow link the others run on for 255
  // links before a job waits for it, holding reports of a few KB each.
  struct Slot {
    LinkItem item;
    size_t ordinal = 0;  // its place among the links resolved, for the recording and the replay
    std::vector<std::string> notes;
  };
  const size_t window = std::max<size_t>(256, 4 * tools.size());
  std::vector<Slot> slots(window);
  size_t resolved = 0;
  size_t taken = 0;
  auto take = [&](size_t index) {
    Slot& slot = slots[index % window];
    if (!feed.Next(slot.item)) return false;
    ++taken;
    slot.ordinal = resolved;
    slot.notes.clear();
    if (slot.item.bad.empty()) ++resolved;
    return true;
  };
  std::atomic<size_t> running{0};
  const bool parallel = tools.size() > 1;

  auto work = [&](size_t worker, size_t index) {
    const Slot& slot = slots[index % window];
    const LinkItem& item = slot.item;
    LinkReport report;
    if (!item.bad.empty()) {
      report.url = item.url;
      report.result = {Outcome::kBadUrl, {}, item.bad};
    } else if (settings.archive != nullptr && settings.archive->Contains(item.url)) {
      report.url = item.url;
      report.result = {Outcome::kSkipped, {}, "it is in the archive " + settings.archive->path()};
    } else {
      JobTools& mine = tools[worker];
      // Between two links, with none inside the plugin: what it kept goes.
      if (settings.reloadEvery > 0 && slot.ordinal > 0 &&
          slot.ordinal % settings.reloadEvery == 0) {
        session.ReloadPlugin();
        LinkTrace(settings.trace, settings.traceCookies,
                  parallel ? "#" + std::to_string(index + 1) : "")
            .Line("the plugin loaded afresh after " + std::to_string(slot.ordinal) + " links");
      }
      progress.SetRunning(++running);
      LinkCall call;
      call.transport = mine.transport;
      call.ordinal = slot.ordinal;
      if (settings.batch) {
        char dumpName[64];
        std::snprintf(dumpName, sizeof dumpName, "%03zu-%s", index + 1, kDumpName);
        call.dumpName = dumpName;
      }
      if (parallel) call.tag = "#" + std::to_string(index + 1);
      const Clock::time_point started = Clock::now();
      report = session.Resolve(item.url, call);
      if (settings.recording != nullptr) {
        slots[index % window].notes =
            ReplayNotes(settings.recording->links[slot.ordinal], *mine.replay, report);
      }
      if (settings.download && report.result.outcome == Outcome::kLink) {
        DownloadLink(settings, mine, report, started, progress, call.tag);
        // Only a file under its final name counts as saved.
        if (settings.archive != nullptr && !report.download->path.empty()) {
          report.archiveError = settings.archive->Add(item.url);
        }
      }
      if (settings.check && report.result.outcome == Outcome::kLink) {
        CheckLink(settings, mine, report, started, call.tag);
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
  bool archiveFailed = false;
  bool pathsEscaped = false;  // said once
  std::string outputError;
  auto deliver = [&](size_t index, LinkReport& report) {
    const Outcome outcome = report.result.outcome;
    report.exitCode = ExitCodeOf(outcome, InterruptSignal());
    if (outcome != Outcome::kInterrupted) {
      ++done;
      if (report.exitCode > worst) worst = report.exitCode, worstWords = OutcomeWords(outcome);
    }
    if (outcome == Outcome::kLink) ++found;
    if (settings.failed != nullptr) settings.failed->Add(slots[index % window].item, report);

    std::string line;
    if (settings.json) {
      line = JsonLine(report);
    } else if (settings.check) {
      line = CheckLine(report);
    } else if (settings.batch) {
      line = TsvLine(report);
    } else if (outcome == Outcome::kLink) {
      line = report.download ? PathText(report.download->path) : LinkText(report.result.link);
    }
    if (!line.empty() || settings.json || settings.batch || settings.check) {
      progress.Clear();
      try {
        WriteAll(STDOUT_FILENO, line + "\n", "standard output");
      } catch (const FileError& error) {
        outputError = error.what();
        return false;
      }
    }
    if (report.download && !pathsEscaped &&
        (PathText(report.download->path) != report.download->path ||
         PathText(report.download->partPath) != report.download->partPath)) {
      pathsEscaped = true;
      SayEscaped(
          "note: the output folder's path holds bytes a terminal would act on, so paths are "
          "shown escaped (\\xHH, a backslash doubled); --json gives them exactly.");
    }
    if (outcome != Outcome::kLink && outcome != Outcome::kInterrupted &&
        !(outcome == Outcome::kSkipped && settings.quiet)) {
      SayEscaped(ReasonSentence(report, true));
    } else if (outcome == Outcome::kLink && report.download && !settings.quiet) {
      SayEscaped(SavedSentence(*report.download));
    }
    if (!report.dumpError.empty()) dumpFailed = true;
    if (!report.archiveError.empty()) {
      archiveFailed = true;
      Say("cannot add " + report.url + " to the archive: " + report.archiveError +
          "; its file stays saved.");
    }
    for (const std::string& note : slots[index % window].notes) Say(note);
    progress.SetDone(index + 1);
    progress.Draw();
    return true;
  };

  const size_t handed =
      RunBatch(take, tools.size(), window, work, deliver, [&] { progress.Draw(); });
  progress.Clear();
  // Stopped: the links not reached count too, when they can be told, and
  // --failed-to lists them.
  size_t rest = 0;
  bool restKnown = true;
  if (!outputError.empty() || InterruptSignal() != 0) {
    const std::string why = InterruptSignal() != 0
                                ? "interrupted by " + std::string(SignalName(InterruptSignal()))
                                : "the run stopped before it";
    std::function<void(const LinkItem&)> each;
    if (settings.failed != nullptr) {
      each = [&](const LinkItem& item) { settings.failed->AddNotReached(item, why); };
    }
    const std::optional<size_t> skipped = feed.SkipRest(each);
    restKnown = skipped.has_value();
    rest = skipped.value_or(0);
  }
  const std::string ofTotal = restKnown ? " of " + std::to_string(taken + rest) : "";
  if (!outputError.empty()) {
    Say(outputError + "; stopped after " + std::to_string(done) + ofTotal + " links.");
    return kExitOutput;
  }
  if (InterruptSignal() != 0) {
    Say(InterruptedSentence(settings, done, ofTotal));
    return 128 + InterruptSignal();
  }
  if (settings.batch && worst != 0) {
    Say(std::to_string(found) + " of " + std::to_string(handed) +
        (settings.download ? " links gave a saved file"
         : settings.check  ? " links gave an available file"
                           : " links gave a download link") +
        "; the worst result was " + worstWords + ".");
  }
  if (dumpFailed) {
    Say("a debug dump could not be written (see above).");
    worst = std::max(worst, kExitCannotWrite);
  }
  if (archiveFailed) worst = std::max(worst, kExitCannotWrite);
  return worst;
}

}  // namespace velmora::host
