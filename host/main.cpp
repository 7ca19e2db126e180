// velmora-host: runs the Velmora plugin the way the download manager does,
// against live sites, recordings of them, or the bundled sample site.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "host/cli/exit_codes.h"
#include "host/cli/interrupt.h"
#include "host/commands/command.h"
#include "host/io/diagnostics.h"
#include "host/net/recording.h"
#include "host/session/plugin_library.h"

namespace {

using namespace velmora::host;

// No subcommand: what there is to choose from, one line each.
int SayWhatToRun(const CLI::App& app) {
  std::string text = "velmora-host: a subcommand is required:\n";
  for (const CLI::App* command : app.get_subcommands({})) {
    std::string name = command->get_name();
    name.resize(std::max<size_t>(name.size(), 9), ' ');
    text += "  " + name + command->get_description() + "\n";
  }
  text += "Run velmora-host SUBCOMMAND --help for its options, --help for this list.";
  WriteDiagnosticLine(text);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velmora-host: runs the Velmora plugin as the download manager does."};
  app.require_subcommand(0, 1);
  app.footer(ExitCodesFooter(kAllCommands));
  bool version = false;
  app.add_flag("--version", version,
               "Print the program's version, the plugin's build id and libcurl's version");
  const std::vector<Command> commands = AddCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (app.exit(error) != 0) return kExitUsage;
    // --help: the text is all this run gives, so it must have arrived.
    if (!(std::cout << std::flush)) {
      Say("cannot write to standard output.");
      return kExitOutput;
    }
    return kExitOk;
  }

  CatchInterrupts();
  try {
    if (version) return PrintVersion();
    for (const Command& command : commands) {
      if (command.app->parsed()) return command.run();
    }
    return SayWhatToRun(app);
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
