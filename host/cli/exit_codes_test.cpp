// The exit codes as three places give them: the table in the code, the table
// in host/README.md, and each --help footer made from the first.
#include "host/cli/exit_codes.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "testing/host_process.h"

namespace velmora::host {
namespace {

using velmora::testing::ReadFile;
using velmora::testing::RunHost;

struct Row {
  std::string code, name, commands, meaning;
};

// The rows of the table under "### Exit codes"; fails on a header that is
// not the expected one.
std::vector<Row> ReadmeRows() {
  const std::string readme = ReadFile(VELMORA_HOST_README);
  const size_t section = readme.find("\n### Exit codes\n");
  const size_t header =
      readme.find("\n| Code | Name | Commands | Meaning |\n|---|---|---|---|\n", section);
  std::vector<Row> rows;
  if (section == std::string::npos || header == std::string::npos ||
      readme.find("\n###", section + 1) < header) {
    ADD_FAILURE() << "no table | Code | Name | Commands | Meaning | under ### Exit codes";
    return rows;
  }
  std::istringstream lines(readme.substr(readme.find("|---", header)));
  std::string line;
  std::getline(lines, line);
  const std::regex row(R"(\| ([0-9]+) \| ([^|]+) \| ([^|]+) \| ([^|]+) \|)");
  while (std::getline(lines, line) && line.rfind("|", 0) == 0) {
    std::smatch cells;
    if (!std::regex_match(line, cells, row)) {
      ADD_FAILURE() << "not a row of four cells: " << line;
      continue;
    }
    rows.push_back({cells[1], cells[2], cells[3], cells[4]});
  }
  return rows;
}

TEST(ExitCodesTest, ReadmeTableIsTheCodesTable) {
  const std::vector<Row> readme = ReadmeRows();
  const std::vector<ExitCodeRow>& table = ExitCodes();
  ASSERT_EQ(readme.size(), table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1) + ", code " + std::to_string(table[i].code));
    EXPECT_EQ(readme[i].code, std::to_string(table[i].code));
    EXPECT_EQ(readme[i].name, table[i].name);
    EXPECT_EQ(readme[i].commands, CommandNames(table[i].commands));
    EXPECT_EQ(readme[i].meaning, table[i].words);
  }
}

// Each --help ends with exactly the README's rows whose Commands name that
// subcommand (the program's own --help: every row), in words as there.
TEST(ExitCodesTest, EveryHelpListsTheReadmesCodesOfItsCommand) {
  const std::vector<Row> readme = ReadmeRows();
  ASSERT_FALSE(readme.empty());
  for (const std::string command : {"", "resolve", "get", "replay", "explain", "demo", "check"}) {
    SCOPED_TRACE(command.empty() ? "velmora-host --help" : command + " --help");
    std::string expected;
    for (const Row& row : readme) {
      const std::regex named("(^|, )" + command + "(,|$)");
      if (command.empty() || row.commands == "all" || std::regex_search(row.commands, named)) {
        expected += row.code + "  " + row.meaning + "\n";
      }
    }
    std::vector<std::string> args = {"--help"};
    if (!command.empty()) args.insert(args.begin(), command);
    const velmora::testing::ProcessRun run = RunHost(args);
    EXPECT_EQ(run.code, 0) << run.err;
    const size_t footer = run.out.find("\nExit codes");
    ASSERT_NE(footer, std::string::npos) << run.out;
    std::string listed;
    std::istringstream lines(run.out.substr(footer + 1));
    std::string line;
    std::getline(lines, line);  // the heading
    const std::regex code(" *([0-9]+)  (.*)");
    for (std::smatch match; std::getline(lines, line) && std::regex_match(line, match, code);) {
      listed += match[1].str() + "  " + match[2].str() + "\n";
    }
    EXPECT_EQ(listed, expected);
  }
}

}  // namespace
}  // namespace velmora::host
