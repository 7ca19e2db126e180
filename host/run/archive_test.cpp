// get --archive: what a run reads from the file, and what it adds to it.
#include "host/run/archive.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "testing/host_process.h"

namespace {

using velmora::host::Archive;
using velmora::host::ArchiveReader;
using velmora::host::FileError;
using namespace velmora::testing;

std::set<std::string> Sorted(const std::unordered_set<std::string>& links) {
  return {links.begin(), links.end()};
}

TEST(ArchiveTest, ReadsWholeLinesOnly) {
  struct Row {
    std::string what;
    std::string text;
    std::set<std::string> links;
  };
  const std::string longLine(ArchiveReader::kMaxLine + 1, 'x');
  const Row rows[] = {
      {"empty", "", {}},
      {"lines", "http://a/1\nhttp://a/2\n", {"http://a/1", "http://a/2"}},
      {"a torn last line is none", "http://a/1\nhttp://a/2", {"http://a/1"}},
      {"CRLF and blanks around",
       " \thttp://a/1 \r\n\thttp://a/2\r\n",
       {"http://a/1", "http://a/2"}},
      {"blank lines and comments", "\n \r\n# http://a/0\n  #x\nhttp://a/1\n", {"http://a/1"}},
      {"a byte-order mark at the start only",
       "\xEF\xBB\xBFhttp://a/1\n\xEF\xBB\xBFhttp://a/2\n",
       {"http://a/1", "\xEF\xBB\xBFhttp://a/2"}},
      {"blanks inside stay", "http://a/b c\n", {"http://a/b c"}},
      {"a line longer than any link", longLine + "\nhttp://a/1\n" + longLine, {"http://a/1"}},
  };
  for (const Row& row : rows) {
    // Read however the pieces fall: whole, a byte at a time, in threes.
    for (const size_t piece : {row.text.size() + 1, size_t{1}, size_t{3}}) {
      ArchiveReader reader;
      for (size_t at = 0; at < row.text.size(); at += piece) {
        reader.Feed(std::string_view(row.text).substr(at, piece));
      }
      EXPECT_EQ(Sorted(reader.links()), row.links) << row.what << ", pieces of " << piece;
    }
  }
}

// The file as the user has it: read without following a link, added to a
// whole line at a time, a torn line kept apart, nothing but its own line
// added.
TEST(ArchiveTest, AddsWholeLinesToTheUsersFileOnly) {
  struct Row {
    std::string what;
    std::string before;  // "(none)": no file; "(link)", "(folder)", "(hard link)"
    std::string error;   // opening it: what FileError says
    std::string after;   // once http://a/new is added
  };
  const Row rows[] = {
      {"missing: created", "(none)", "", "http://a/new\n"},
      {"empty", "", "", "http://a/new\n"},
      {"ends with a line end", "http://a/1\n", "", "http://a/1\nhttp://a/new\n"},
      {"a torn last line", "http://a/1\nhttp://a/t", "", "http://a/1\nhttp://a/t\nhttp://a/new\n"},
      {"a link to a file", "(link)", "is a symbolic link, which is not followed", ""},
      {"a folder", "(folder)", "is a folder", ""},
      {"a hard link", "(hard link)", "has other names", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDir scratch;
    const fs::path path = scratch.path() / "archive.txt";
    WriteFile(scratch.path() / "victim", "precious\n");
    if (row.before == "(link)") {
      fs::create_symlink(scratch.path() / "victim", path);
    } else if (row.before == "(folder)") {
      fs::create_directory(path);
    } else if (row.before == "(hard link)") {
      fs::create_hard_link(scratch.path() / "victim", path);
    } else if (row.before != "(none)") {
      WriteFile(path, row.before);
    }
    try {
      Archive archive(path.string());
      EXPECT_EQ(row.error, "");
      EXPECT_FALSE(archive.Contains("http://a/new"));
      EXPECT_EQ(archive.Add("http://a/new"), "");
      EXPECT_EQ(archive.Add(" http://a/new\r"), "") << "once a run";
      EXPECT_EQ(ReadFile(path), row.after);
      struct stat info {};
      ASSERT_EQ(stat(path.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 0022, 0u) << "no one else writes it";
      EXPECT_TRUE(Archive(path.string()).Contains("  http://a/new\t"));
    } catch (const FileError& error) {
      EXPECT_NE(row.error, "") << error.what();
      EXPECT_NE(std::string(error.what()).find(row.error), std::string::npos) << error.what();
    }
    EXPECT_EQ(ReadFile(scratch.path() / "victim"), "precious\n");
  }
}

// A line the disk takes only part of (here a file size limit, as a full
// disk would) is taken back whole: the file is as it was, the link is not
// claimed, and a later try adds it.
TEST(ArchiveTest, ALineCutShortIsTakenBack) {
  ScratchDir scratch;
  const fs::path path = scratch.path() / "archive.txt";
  WriteFile(path, "http://a/1\n");
  Archive archive(path.string());
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 16;  // 5 bytes of the line fit
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string why = archive.Add("http://a/long-link");
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  EXPECT_NE(why.find("cannot write"), std::string::npos) << why;
  EXPECT_EQ(ReadFile(path), "http://a/1\n");
  EXPECT_EQ(archive.Add("http://a/long-link"), "");
  EXPECT_EQ(ReadFile(path), "http://a/1\nhttp://a/long-link\n");
}

}  // namespace
