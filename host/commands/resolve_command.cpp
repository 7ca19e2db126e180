// velmora-host resolve: the direct link of each link, through the plugin.
#include <memory>

#include "host/cli/exit_codes.h"
#include "host/cli/interrupt.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"
#include "host/io/diagnostics.h"

namespace velmora::host {
namespace {

struct ResolveOptions : LinkOptions {
  std::string recordDir;
};

int RunResolve(const ResolveOptions& options) {
  Batch batch;
  if (const int code = CollectLinks(options, batch)) return code;
  // Everything that can fail at the start does so before the recording exists.
  const SessionSetup setup = PrepareSession(options.report, options.debug);
  auto plugin = LoadPlugin(options.report.plugin);
  std::unique_ptr<RecordingStore> recorder;
  if (!options.recordDir.empty()) recorder = std::make_unique<RecordingStore>(options.recordDir);
  try {
    RunSettings settings = SettingsFor(setup, options.report.json);
    settings.recorder = recorder.get();
    const int code =
        RunLiveLinks(options, batch, setup, *plugin, recorder.get(), nullptr, settings);
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
  CLI::App* command =
      AddLinkCommand(app, "resolve", "Resolve links over HTTP: the direct link of each", *options,
                     "Links resolved at once");
  command->add_option("--record", options->recordDir,
                      "Save every exchange to this new or empty folder for replay");
  AddFailedToOption(*command, options->failedTo);
  command->footer(ExitCodesFooter(kResolveCommand));
  return {command, [options] { return RunResolve(*options); }};
}

}  // namespace velmora::host
