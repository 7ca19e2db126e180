// velmora-host as a program: what it says and exits with before any
// subcommand runs a link.
#include <gtest/gtest.h>

#include <regex>
#include <string>

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

}  // namespace
