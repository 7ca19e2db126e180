// velmora-host replay: the links of a recording resolved again, offline.
#include <memory>

#include "host/cli/exit_codes.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"
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
  if (const int code = OpenRecording(options.dir, options.http.maxPageBytes, "replay", recording)) {
    return code;
  }
  std::vector<LinkItem> items;
  for (const RecordedLink& link : recording.links) items.push_back({0, link.url, {}});
  const SessionSetup setup = PrepareSession(options.report, options.debug);
  auto plugin = LoadPlugin(options.report.plugin);
  std::vector<JobTools> tools = ReplayTools(recording, options.jobs, items.size());
  HostSession session(*plugin, *tools[0].transport, setup.session);
  RunSettings settings = SettingsFor(setup, options.report.json);
  settings.batch = items.size() > 1;
  settings.recording = &recording;
  LinkList feed(std::move(items));
  return RunLinks(settings, session, tools, feed);
}

}  // namespace

Command AddReplayCommand(CLI::App& app) {
  auto options = std::make_shared<ReplayOptions>();
  CLI::App* command = app.add_subcommand("replay", "Resolve from a recording, without network");
  AddReportOptions(*command, options->report, true);
  AddDebugOptions(*command, options->debug);
  AddPageLimitOption(*command, options->http);
  AddJobsOption(*command, options->jobs, "Links replayed at once");
  command->add_option("DIR", options->dir, "Folder made by resolve --record")->required();
  command->footer(ExitCodesFooter(kReplayCommand));
  return {command, [options] { return RunReplay(*options); }};
}

}  // namespace velmora::host
