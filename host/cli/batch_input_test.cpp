// Batch input read as the links are taken: the order of the parts, each
// file's own line numbers, and what is known of the rest before the end.
#include "host/cli/batch_input.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "testing/host_process.h"

namespace velmora::host {
namespace {

using velmora::testing::ScratchDir;
using velmora::testing::WriteFile;

constexpr size_t kUnknown = ~size_t{0};

TEST(BatchInputTest, LinksComeAsTakenInInputOrder) {
  struct Row {
    const char* what;
    std::vector<std::string> arguments;
    std::vector<std::string> files;  // contents, one batch file each
    std::string addedLater;          // to the last file, after the first link is taken
    std::string expected;            // "line:url:bad?" each, space-separated
    size_t restAfterTwo;             // what SkipRest counts once two are taken
  };
  const Row rows[] = {
      {"URLs only: known at once",
       {"http://a/1", "http://a/2", "http://a/3"},
       {},
       "",
       "0:http://a/1: 0:http://a/2: 0:http://a/3:",
       1},
      {"URLs before files, each file numbered on its own",
       {"http://a/1"},
       {"# c\nhttp://b/1\n", "\xEF\xBB\xBFhttp://c/1\r\n\nftp://x\n"},
       "",
       "0:http://a/1: 2:http://b/1: 1:http://c/1: 3:ftp://x:bad",
       2},
      {"a file is read as taken, not when opened",
       {},
       {"http://a/1\n"},
       "http://a/2\n#\nhttp://a/3\n",
       "1:http://a/1: 2:http://a/2: 4:http://a/3:",
       1},
      {"a file of comments after links",
       {},
       {"http://a/1\nhttp://a/2\n#\n\n"},
       "",
       "1:http://a/1: 2:http://a/2:",
       0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDir scratch;
    for (const bool skip : {false, true}) {
      std::vector<std::string> files;
      for (size_t i = 0; i < row.files.size(); ++i) {
        files.push_back((scratch.path() / std::to_string(i)).string());
        WriteFile(files.back(), row.files[i]);
      }
      Batch batch;
      ASSERT_EQ(CollectUrls(row.arguments, files, batch), 0);
      EXPECT_EQ(batch.fromInput, !files.empty());
      EXPECT_EQ(batch.Total().has_value(), files.empty()) << "known only without files";
      if (!row.addedLater.empty()) {
        std::ofstream(files.back(), std::ios::app) << row.addedLater;
      }
      std::string got;
      LinkItem item;
      size_t taken = 0;
      for (; !(skip && taken == 2) && batch.Next(item); ++taken) {
        got += (got.empty() ? "" : " ") + std::to_string(item.line) + ":" + item.url + ":" +
               (item.bad.empty() ? "" : "bad");
      }
      if (skip) {
        EXPECT_EQ(batch.SkipRest({}).value_or(kUnknown), row.restAfterTwo);
        EXPECT_FALSE(batch.Next(item));
      } else {
        EXPECT_EQ(got, row.expected);
      }
      EXPECT_EQ(batch.Total().value_or(kUnknown), skip ? taken + row.restAfterTwo : taken);
    }
  }
}

}  // namespace
}  // namespace velmora::host
