// velmora-host as a program: what it says and exits with before any
// subcommand runs a link.
#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <regex>
#include <string>

#include "host/commands/command.h"
#include "testing/host_process.h"

namespace {

using namespace velmora::testing;

TEST(MainTest, UsageErrorsGiveSixtyFour) {
  struct Row {
    std::vector<std::string> args;
    std::string input;
    std::string message;
  };
  const Row rows[] = {
      {{"resolve", "ftp://files.example/f/1"}, "", "is not an http or https URL"},
      {{"resolve", "files.example/f/1"}, "", "is not an http or https URL"},
      {{"resolve", "http://files.example/a b"}, "", "is not an http or https URL"},
      {{"resolve", "-"}, "http://ok.velmora.invalid/1\nmailto:x@y.example\n", "mailto:x@y.example"},
      {{"resolve", "-"}, "\n\n", "no URL"},
      {{"resolve"}, "", "needs a URL"},
      {{}, "", "subcommand"},
      {{"resolve", "--no-such-option", "http://a.example/"}, "", "no-such-option"},
      {{"resolve", "--timeout", "0", "http://a.example/"}, "", "timeout"},
  };
  for (const Row& row : rows) {
    const ProcessRun run = RunHost(row.args, {.input = row.input});
    EXPECT_EQ(run.code, 64) << row.message << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
  }
}

TEST(MainTest, MissingPluginIsReported) {
  const ProcessRun run =
      RunHost({"resolve", "--plugin", "/nonexistent/Velmora.plg", "http://a.example/"});
  EXPECT_EQ(run.code, 69);
  EXPECT_NE(run.err.find("cannot load the plugin /nonexistent/Velmora.plg"), std::string::npos)
      << run.err;
}

TEST(MainTest, VersionSaysWhatItShould) {
  const ProcessRun version = RunHost({"--version"});
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_TRUE(
      std::regex_search(version.out, std::regex("^velmora-host [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  EXPECT_TRUE(std::regex_search(version.out, std::regex("Velmora\\.plg, build id [0-9a-f]{40}\n")))
      << version.out;
  EXPECT_NE(version.out.find("libcurl "), std::string::npos) << version.out;
}

// Each option that takes a value takes exactly one, so the argument after it
// is a URL (or DIR) again, and a repeatable option collects one value per
// occurrence. Made from the commands' own option lists: a new option is
// checked too.
TEST(MainTest, EveryOptionTakesOneValue) {
  const std::string url = "http://a.example/";
  CLI::App listed;
  size_t checked = 0;
  for (const velmora::host::Command& command : velmora::host::AddCommands(listed)) {
    for (const CLI::Option* option : command.app->get_options()) {
      if (!option->nonpositional() || option->get_expected_max() == 0) continue;  // a flag
      std::vector<std::string> names;
      for (const std::string& name : option->get_snames()) names.push_back("-" + name);
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
      const bool repeatable = option->get_expected_max() > 1;
      for (const std::string& name : names) {
        std::vector<std::string> args = {"velmora-host", command.app->get_name(), name, "1"};
        if (repeatable) args.insert(args.end(), {name, "2"});
        args.push_back(url);
        std::vector<const char*> argv;
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        const std::string row = command.app->get_name() + " " + name;
        CLI::App app;
        const std::vector<velmora::host::Command> commands = velmora::host::AddCommands(app);
        CLI::App* parsed = app.get_subcommand(command.app->get_name());
        const std::vector<CLI::Option*> positionals =
            parsed->get_options([](const CLI::Option* o) { return !o->nonpositional(); });
        if (positionals.empty()) {  // demo: the URL is one argument too many
          EXPECT_THROW(app.parse(static_cast<int>(argv.size()), argv.data()), CLI::ExtrasError)
              << row;
          continue;
        }
        try {
          app.parse(static_cast<int>(argv.size()), argv.data());
        } catch (const CLI::ParseError& error) {
          ADD_FAILURE() << row << ": " << error.what();
          continue;
        }
        ++checked;
        EXPECT_EQ(positionals[0]->results(), std::vector<std::string>{url}) << row;
        const std::vector<std::string> values =
            repeatable ? std::vector<std::string>{"1", "2"} : std::vector<std::string>{"1"};
        EXPECT_EQ(parsed->get_option(name)->results(), values) << row;
      }
    }
  }
  EXPECT_GE(checked, 40u);
}

// Output that cannot be written is 74 also when it is only the help.
TEST(MainTest, AFullStdoutGivesSeventyFour) {
  std::vector<std::vector<std::string>> rows = {{"--help"}, {"--version"}};
  CLI::App app;
  for (const velmora::host::Command& command : velmora::host::AddCommands(app)) {
    rows.push_back({command.app->get_name(), "--help"});
  }
  for (const std::vector<std::string>& args : rows) {
    const ProcessRun run = RunHost(args, {.stdoutPath = "/dev/full"});
    EXPECT_EQ(run.code, 74) << args[0] << ": " << run.err;
    EXPECT_NE(run.err.find("cannot write to standard output"), std::string::npos) << run.err;
  }
}

}  // namespace
