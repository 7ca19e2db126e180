// The subcommands of velmora-host. Each adds itself to the program's CLI11
// app with its options and hands back what runs it once the command line is
// parsed; running returns the exit code (cli/exit_codes.h).
#ifndef VELMORA_HOST_COMMANDS_COMMAND_H_
#define VELMORA_HOST_COMMANDS_COMMAND_H_

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

namespace velmora::host {

struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;
};

Command AddResolveCommand(CLI::App& app);
Command AddGetCommand(CLI::App& app);
Command AddCheckCommand(CLI::App& app);
Command AddReplayCommand(CLI::App& app);
Command AddExplainCommand(CLI::App& app);
Command AddDemoCommand(CLI::App& app);

// Every subcommand above, each of its options taking exactly one value per
// occurrence (a repeatable one is repeated).
std::vector<Command> AddCommands(CLI::App& app);

// --version: the program, the plugin it loads, libcurl.
int PrintVersion();

}  // namespace velmora::host

#endif  // VELMORA_HOST_COMMANDS_COMMAND_H_
