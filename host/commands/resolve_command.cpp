// velmora-host resolve: the direct link of each link, through the plugin.
#include <memory>

#include "host/cli/batch_input.h"
#include "host/cli/exit_codes.h"
#include "host/cli/interrupt.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"
#include "host/io/diagnostics.h"
#include "host/net/curl_share.h"
#include "host/run/link_runner.h"

namespace velmora::host {
namespace {

struct ResolveOptions {
  ReportOptions report;
  DebugOptions debug;
  HttpOptions http;
  size_t jobs = 1;
  std::vector<std::string> urls;
  std::vector<std::string> batchFiles;
  std::string recordDir;
};

int RunResolve(const ResolveOptions& options) {
  Batch batch;
  if (const int code = CollectUrls(options.urls, options.batchFiles, batch)) return code;
  if (const int code = CheckNetworkOptions(options.http)) return code;
  // Everything that can fail at the start does so before the recording exists.
  const SessionSetup setup = PrepareSession(options.report, options.debug);
  auto plugin = LoadPlugin(options.report.plugin);
  CurlShare share;
  std::unique_ptr<RecordingStore> recorder;
  if (!options.recordDir.empty()) recorder = std::make_unique<RecordingStore>(options.recordDir);
  try {
    std::vector<JobTools> tools = LiveTools(options.http, options.jobs, batch.items.size(), share,
                                            recorder.get(), nullptr);
    HostSession session(*plugin, *tools[0].transport, setup.session);
    RunSettings settings;
    settings.batch = batch.fromInput || batch.items.size() > 1;
    settings.json = options.report.json;
    settings.showProgress = !setup.session.trace && !setup.session.debug;
    settings.recorder = recorder.get();
    const int code = RunLinks(settings, session, tools, batch.items);
    if (recorder && InterruptSignal() == 0) {
      if (recorder->linksBegun() == 0) {
        recorder->Discard();  // every line was bad: nothing to replay
      } else {
        Say("recorded to " + options.recordDir);
      }
    }
    return code;
  } catch (...) {
    if (recorder && recorder->linksBegun() == 0) recorder->Discard();
    throw;
  }
}

}  // namespace

Command AddResolveCommand(CLI::App& app) {
  auto options = std::make_shared<ResolveOptions>();
  CLI::App* command = app.add_subcommand(
      "resolve", "Resolve links over HTTP (\"-\" or -a FILE: one URL a line, # comments)");
  AddReportOptions(*command, options->report, true);
  AddDebugOptions(*command, options->debug);
  AddNetworkOptions(*command, options->http);
  AddJobsOption(*command, options->jobs, "Links resolved at once");
  command->add_option("--record", options->recordDir,
                      "Save every exchange to this new or empty folder for replay");
  AddLinkArguments(*command, options->urls, options->batchFiles);
  command->footer(ExitCodesFooter(kResolveCommand));
  return {command, [options] {
            if (options->urls.empty() && options->batchFiles.empty()) {
              Say("resolve needs a URL, or -a FILE; see velmora-host resolve --help.");
              return kExitUsage;
            }
            return RunResolve(*options);
          }};
}

}  // namespace velmora::host
