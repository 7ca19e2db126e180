// A recording is read as hostile: every change a run cut short, a hand edit
// or an attacker may make to its manifest and files is either read as
// documented or refused with the line it is on, and nothing outside the
// folder is read.
#include "host/net/recording.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <utility>
#include <vector>

#include "testing/host_process.h"

namespace velmora::host {
namespace {

namespace fs = std::filesystem;
using velmora::testing::ReadFile;
using velmora::testing::ScratchDir;
using velmora::testing::WriteFile;

const char kManifest[] =
    "velmora-recording\t2\n"
    "link\thttp://s.example/f/1\n"
    "exchange\tGET\thttp://s.example/f/1\t-\t200\thttp://s.example/p\t001-response.html\t-\t1\t12\n"
    "exchange\tPOST\thttp://s.example/dl\t002-request.txt\t200\thttp://s.example/dl\t"
    "002-response.html\t-\t0\t5\n"
    "result\tlink\thttp://d.example/f.zip\n";

TEST(RecordingTest, LoaderReadsWhatIsDocumentedAndRefusesTheRest) {
  struct Row {
    const char* what;
    std::vector<std::pair<std::string, std::string>> edits;  // in the manifest, each once
    std::string file;       // "NAME>" a link to a file outside, "NAME=" a hard link to it,
                            // "NAME/" a folder, "NAME|" a pipe, "NAME+" 100 bytes, "NAME-" none
    const char* error;      // part of the RecordingError; null: it loads
    const char* note = "";  // part of the one note; "": none
    int version = 2;
    bool cutShort = false;
  };
  const std::pair<std::string, std::string> noResult = {"result\tlink\thttp://d.example/f.zip\n",
                                                        ""};
  // clang-format off
  const Row rows[] = {
      {"as written", {}, "", nullptr},
      {"line ends CR LF", {{"\n", "\r\n"}, {"f/1\n", "f/1\r\n"}, {"12\n", "12\r\n"}}, "", nullptr},
      {"a blank line", {{"link", "\nlink"}}, "", nullptr},
      {"further fields at a record's end", {{"\t12\n", "\t12\tlater\tfields\n"}}, "", nullptr},
      {"format 1",
       {{"recording\t2", "recording\t1"}, {"\t1\t12\n", "\n"}, {"\t0\t5\n", "\n"}}, "", nullptr,
       "", 1},
      {"a torn last line", {{"f.zip\n", "f.zip"}}, "", nullptr,
       "line 5 of %/manifest.tsv is incomplete", 2, true},
      {"no result line", {noResult}, "", nullptr, "", 2, true},
      {"an interrupted link", {{"result\tlink\thttp://d.example/f.zip", "result\tinterrupted\t-"}},
       "", nullptr, "", 2, true},
      {"a torn format line", {{kManifest, "velmora-recording\t2"}}, "", "format line missing"},
      {"an empty manifest", {{kManifest, ""}}, "", "the manifest is empty"},
      {"no format line", {{"velmora-recording\t2\n", ""}}, "", "line 1: not a velmora-host"},
      {"a format line of another program", {{"velmora-recording\t2", "other-recording\t2"}}, "",
       "line 1: not a velmora-host recording"},
      {"a format that is no number", {{"recording\t2", "recording\tx"}}, "", "bad format line"},
      {"format 0", {{"recording\t2", "recording\t0"}}, "", "bad format line"},
      {"a newer format", {{"recording\t2", "recording\t3"}}, "", "format 3 is newer"},
      {"format 1 with format 2's fields", {{"recording\t2", "recording\t1"}}, "",
       "line 3: unreadable record \"exchange\""},
      {"an unknown kind of record", {{"link\t", "lnik\t"}}, "",
       "line 2: unreadable record \"lnik\""},
      {"a record of too few fields", {{"\t-\t1\t12\n", "\n"}}, "", "line 3: unreadable record"},
      {"an unknown method", {{"GET", "PUT"}}, "", "line 3: unknown method PUT"},
      {"an unknown result", {{"result\tlink", "result\tmaybe"}}, "",
       "line 5: unknown result maybe"},
      {"a result no resolving gives", {{"result\tlink", "result\tdownload-error"}}, "",
       "unknown result download-error"},
      {"check's result", {{"result\tlink", "result\tunavailable"}}, "",
       "unknown result unavailable"},
      {"a status that is no number", {{"\t200\thttp://s.example/p", "\t2x0\thttp://s.example/p"}},
       "", "line 3: bad status 2x0"},
      {"a status of four digits", {{"\t200\thttp://s.example/p", "\t1000\thttp://s.example/p"}},
       "", "bad status 1000"},
      {"a negative redirect count", {{"\t1\t12\n", "\t-1\t12\n"}}, "", "bad redirect count -1"},
      {"a huge time", {{"\t12\n", "\t99999999999999999999\n"}}, "", "bad time"},
      {"an exchange before any link", {{"link\thttp://s.example/f/1\n", ""}}, "",
       "line 2: exchange before any link"},
      {"an exchange after the result",
       {noResult, {"f/1\n", "f/1\nresult\tnolink\t-\n"}},
       "", "line 4: exchange after the link's result"},
      {"a second result", {{"f.zip\n", "f.zip\nresult\tnolink\t-\n"}}, "",
       "line 6: a second result for the link"},
      {"a name leaving the folder", {{"002-response.html", "../secret"}}, "",
       "line 4: bad file name \"../secret\""},
      {"a name with a folder", {{"002-response.html", "sub/002-response.html"}}, "",
       "bad file name \"sub/002-response.html\""},
      {"an absolute name", {{"002-response.html", "/etc/passwd"}}, "",
       "bad file name \"/etc/passwd\""},
      {"..", {{"002-request.txt", ".."}}, "", "bad file name \"..\""},
      {"an empty name", {{"\t001-response.html\t", "\t\t"}}, "", "bad file name \"\""},
      {"a NUL in a name", {{"002-response.html", std::string("002-response.html\0x", 19)}}, "",
       "bad file name"},
      {"a response linked outside", {}, "002-response.html>",
       "line 4: 002-response.html is a symbolic link"},
      {"a request hard-linked outside", {}, "002-request.txt=", "002-request.txt has other names"},
      {"a folder as response", {}, "001-response.html/", "001-response.html is not a regular file"},
      {"a pipe as response", {}, "001-response.html|", "001-response.html is not a regular file"},
      {"a response over the limit", {}, "002-response.html+",
       "002-response.html is larger than the limit of 16 bytes"},
      {"a missing response", {}, "002-response.html-", "line 4: cannot open 002-response.html"},
      {"a manifest linked outside", {}, "manifest.tsv>", "no recording in %"},
      {"a folder as manifest", {}, "manifest.tsv/", "no recording in %"},
      {"no manifest", {}, "manifest.tsv-", "no recording in %"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDir scratch;
    const fs::path rec = scratch.path() / "rec", secret = scratch.path() / "secret";
    fs::create_directory(rec);
    WriteFile(secret, "SECRET");
    std::string manifest = kManifest;
    for (const auto& [from, to] : row.edits) {
      const size_t at = manifest.find(from);
      ASSERT_NE(at, std::string::npos) << from;
      manifest.replace(at, from.size(), to);
    }
    WriteFile(rec / "manifest.tsv", manifest);
    WriteFile(rec / "001-response.html", "<FORM>");
    WriteFile(rec / "002-request.txt", "id=1");
    WriteFile(rec / "002-response.html", "answer");
    if (!row.file.empty()) {
      const fs::path path = rec / row.file.substr(0, row.file.size() - 1);
      fs::remove(path);
      switch (row.file.back()) {
        case '>': fs::create_symlink(secret, path); break;
        case '=': fs::create_hard_link(secret, path); break;
        case '/': fs::create_directory(path); break;
        case '|': mkfifo(path.c_str(), 0600); break;
        case '+': WriteFile(path, std::string(100, 'x')); break;
      }
    }
    // "%" in an expected text stands for the recording's folder.
    const auto expand = [&](std::string text) {
      const size_t at = text.find('%');
      return at == std::string::npos ? text : text.replace(at, 1, rec.string());
    };
    try {
      const Recording recording = LoadRecording(rec.string(), 16);
      EXPECT_EQ(row.error, nullptr) << "loaded";
      EXPECT_EQ(recording.version, row.version);
      ASSERT_EQ(recording.links.size(), 1u);
      const RecordedLink& link = recording.links[0];
      EXPECT_EQ(link.url, "http://s.example/f/1");
      ASSERT_EQ(link.exchanges.size(), 2u);
      EXPECT_EQ(link.exchanges[0].responseFile, "001-response.html");
      EXPECT_EQ(link.exchanges[1].requestFile, "002-request.txt");
      EXPECT_EQ(link.exchanges[0].redirects, row.version == 1 ? -1 : 1);
      EXPECT_EQ(link.cutShort(), row.cutShort);
      if (!row.cutShort) {
        EXPECT_EQ(link.result->link, "http://d.example/f.zip");
      }
      const std::string note = expand(row.note);
      if (note.empty()) {
        EXPECT_TRUE(recording.notes.empty()) << recording.notes.front();
      } else {
        ASSERT_EQ(recording.notes.size(), 1u);
        EXPECT_NE(recording.notes[0].find(note), std::string::npos) << recording.notes[0];
      }
    } catch (const RecordingError& error) {
      ASSERT_NE(row.error, nullptr) << error.what();
      EXPECT_NE(std::string(error.what()).find(expand(row.error)), std::string::npos)
          << error.what();
      EXPECT_EQ(std::string(error.what()).find("SECRET"), std::string::npos);
    }
    EXPECT_EQ(ReadFile(secret), "SECRET");
  }
}

}  // namespace
}  // namespace velmora::host
