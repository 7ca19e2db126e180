// velmora-host check: each link resolved, then its direct link asked what
// it would deliver (name, size, type) without downloading anything.
#include <memory>

#include "host/cli/exit_codes.h"
#include "host/cli/options.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"

namespace velmora::host {
namespace {

int RunCheck(const LinkOptions& options) {
  Batch batch;
  if (const int code = CollectLinks(options, batch)) return code;
  const SessionSetup setup = PrepareSession(options.report, options.debug);
  auto plugin = LoadPlugin(options.report.plugin);
  RunSettings settings = SettingsFor(setup, options.report.json);
  settings.check = true;
  settings.deadlineSeconds = options.http.deadlineSeconds;
  return RunLiveLinks(options, batch, setup, *plugin, nullptr, nullptr, settings);
}

}  // namespace

Command AddCheckCommand(CLI::App& app) {
  auto options = std::make_shared<LinkOptions>();
  CLI::App* command = AddLinkCommand(
      app, "check", "Resolve links and ask each file's name, size and type, downloading nothing",
      *options, "Links resolved and checked at once");
  AddFailedToOption(*command, options->failedTo);
  command->footer(ExitCodesFooter(kCheckCommand));
  return {command, [options] { return RunCheck(*options); }};
}

}  // namespace velmora::host
