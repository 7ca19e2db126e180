#include "host/commands/command.h"

namespace velmora::host {

std::vector<Command> AddCommands(CLI::App& app) {
  std::vector<Command> commands = {AddResolveCommand(app), AddGetCommand(app),
                                   AddCheckCommand(app),   AddReplayCommand(app),
                                   AddExplainCommand(app), AddDemoCommand(app)};
  // CLI11 lets a repeatable option (--header, -a) take every argument after
  // it, the URLs too: each occurrence takes one value, whatever the option.
  for (const Command& command : commands) {
    for (CLI::Option* option : command.app->get_options()) {
      if (option->nonpositional()) option->allow_extra_args(false);
    }
  }
  return commands;
}

}  // namespace velmora::host
