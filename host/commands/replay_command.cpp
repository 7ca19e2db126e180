// velmora-host replay: the links of a recording resolved again, offline.
#include <memory>

#include "host/cli/exit_codes.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"
#include "host/io/diagnostics.h"
#include "host/run/link_runner.h"

namespace velmora::host {
namespace {

struct ReplayOptions {
  ReportOptions report;
  DebugOptions debug;
  HttpOptions http;  // --max-page-bytes only: the limit for recorded files
  size_t jobs = 1;
  std::string dir;
};

int RunReplay(const ReplayOptions& options) {
  Recording recording;
  try {
    recording = LoadRecording(options.dir, options.http.maxPageBytes);
  } catch (const RecordingError& error) {
    Say(std::string("cannot replay: ") + error.what() + ".");
    return kExitNoInput;
  }
  for (const std::string& note : recording.notes) Say("note: " + note + ".");
  if (recording.links.empty()) {
    Say("cannot replay: the recording in " + options.dir + " holds no link.");
    return kExitNoInput;
  }
  std::vector<LinkItem> items;
  for (const RecordedLink& link : recording.links) items.push_back({0, link.url, {}});
  const SessionSetup setup = PrepareSession(options.report, options.debug);
  auto plugin = LoadPlugin(options.report.plugin);
  std::vector<JobTools> tools = ReplayTools(recording, options.jobs, items.size());
  HostSession session(*plugin, *tools[0].transport, setup.session);
  RunSettings settings;
  settings.batch = items.size() > 1;
  settings.json = options.report.json;
  settings.showProgress = !setup.session.trace && !setup.session.debug;
  settings.recording = &recording;
  return RunLinks(settings, session, tools, items);
}

}  // namespace

Command AddReplayCommand(CLI::App& app) {
  auto options = std::make_shared<ReplayOptions>();
  CLI::App* command =
      app.add_subcommand("replay", "Resolve from a recording, without network");
  AddReportOptions(*command, options->report, true);
  AddDebugOptions(*command, options->debug);
  AddPageLimitOption(*command, options->http);
  AddJobsOption(*command, options->jobs, "Links replayed at once");
  command->add_option("DIR", options->dir, "Folder made by resolve --record")->required();
  command->footer(ExitCodesFooter(kReplayCommand));
  return {command, [options] { return RunReplay(*options); }};
}

}  // namespace velmora::host
