// velmora-host replay, and the recordings resolve --record makes for it:
// recorded against a test site on 127.0.0.1, replayed with no site at all.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "testing/host_process.h"
#include "testing/test_site.h"

namespace {

using namespace velmora::testing;

// Records the one-link run of url into dir (the site redirects once, then
// takes a POST), for tests that then tamper with the recording.
std::string RecordOneLink(const fs::path& dir) {
  TestSite site;
  site.pages["/f/9"] = "REDIRECT /files/9.html";
  site.pages["/files/9.html"] = FormPage("dl", "<INPUT NAME=\"n\" VALUE=\"a b&c\">\n");
  site.answers["/files/dl"] = kLinkAnswer;
  site.Start();
  const ProcessRun recorded = RunHost({"resolve", "--record", dir.string(), site.Url("/f/9")});
  EXPECT_EQ(recorded.code, 0) << recorded.err;
  return site.Url("/f/9");
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from << " not in " << text;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(ReplayCommandTest, ReplayGivesTheRecordedResultOffline) {
  ScratchDir scratch;
  const fs::path recording = scratch.path() / "rec";
  std::string url;
  ProcessRun recorded;
  {
    TestSite site;
    site.pages["/f/9"] = "REDIRECT /files/9.html";
    site.pages["/files/9.html"] = FormPage("dl", "<INPUT NAME=\"n\" VALUE=\"a b&c\">\n");
    site.answers["/files/dl"] = kLinkAnswer;
    site.Start();
    url = site.Url("/f/9");
    recorded = RunHost({"resolve", "--record", recording.string(), url});
    ASSERT_EQ(recorded.code, 0) << recorded.err;
  }  // the site is gone: replay must not need it

  const ProcessRun replayed = RunHost({"replay", recording.string()});
  EXPECT_EQ(replayed.code, 0) << replayed.err;
  EXPECT_EQ(replayed.out, recorded.out);
  EXPECT_EQ(ReadFile(recording / "002-request.txt"), "n=a%20b%26c");

  // Recording again into the same folder would mix two runs.
  EXPECT_EQ(RunHost({"resolve", "--record", recording.string(), url}).code, 73);

  // The plugin now sends another body than the recording holds.
  WriteFile(recording / "002-request.txt", "n=a%20b%26d");
  ProcessRun mismatch = RunHost({"replay", recording.string()});
  EXPECT_EQ(mismatch.code, 5) << mismatch.err;
  EXPECT_EQ(mismatch.out, "");
  EXPECT_NE(mismatch.err.find("differs from the recording from byte 11"), std::string::npos)
      << mismatch.err;

  // Another action URL.
  std::string manifest = ReadFile(recording / "manifest.tsv");
  const size_t at = manifest.find("/files/dl\t");
  ASSERT_NE(at, std::string::npos) << manifest;
  manifest.replace(at, 9, "/files/dl2");
  WriteFile(recording / "manifest.tsv", manifest);
  mismatch = RunHost({"replay", recording.string()});
  EXPECT_EQ(mismatch.code, 5) << mismatch.err;
  EXPECT_NE(mismatch.err.find("the plugin asked for a POST to " + url.substr(0, url.size() - 4) +
                              "/files/dl, but the recording holds a POST to "),
            std::string::npos)
      << mismatch.err;

  EXPECT_EQ(RunHost({"replay", (scratch.path() / "none").string()}).code, 66);
}

TEST(ReplayCommandTest, ReplayKeepsTransferFailures) {
  ScratchDir scratch;
  const fs::path recording = scratch.path() / "rec";
  const ProcessRun recorded =
      RunHost({"resolve", "--record", recording.string(), "http://gone.velmora.invalid/f/1"});
  ASSERT_EQ(recorded.code, 4) << recorded.err;
  const ProcessRun replayed = RunHost({"replay", recording.string()});
  EXPECT_EQ(replayed.code, 4) << replayed.err;
  EXPECT_NE(replayed.err.find("Could not resolve host"), std::string::npos) << replayed.err;
}

TEST(ReplayCommandTest, RecordingWritesOnlyNewFilesInANewOrEmptyFolder) {
  struct Row {
    std::string what;
    std::function<void(const fs::path& rs, const fs::path& scratch)> prepare;
    std::vector<std::string> options;
    int code;
    std::string message;
    bool folderKept;  // rs exists afterwards (it did before, or the run made it)
  };
  const Row rows[] = {
      {"a link to a victim inside",
       [](const fs::path& rs, const fs::path& scratch) {
         fs::create_directory(rs);
         fs::create_symlink(scratch / "victim", rs / "001-response.html");
       },
       {},
       73,
       "is not empty",
       true},
      {"a dangling link inside",
       [](const fs::path& rs, const fs::path& scratch) {
         fs::create_directory(rs);
         fs::create_symlink(scratch / "made-by-link", rs / "manifest.tsv");
       },
       {},
       73,
       "is not empty",
       true},
      {"a used folder",
       [](const fs::path& rs, const fs::path&) {
         fs::create_directory(rs);
         WriteFile(rs / "notes.txt", "mine");
       },
       {},
       73,
       "is not empty",
       true},
      {"--dump-dir names a file, new folder",
       [](const fs::path&, const fs::path&) {},
       {"--dump-dir", "VICTIM"},
       73,
       "dump folder",
       false},
      {"--dump-dir names a file, empty folder",
       [](const fs::path& rs, const fs::path&) { fs::create_directory(rs); },
       {"--dump-dir", "VICTIM"},
       73,
       "dump folder",
       true},
      {"no plugin",
       [](const fs::path&, const fs::path&) {},
       {"--plugin", "/nonexistent/Velmora.plg"},
       69,
       "cannot load the plugin",
       false},
  };
  TestSite site;
  site.pages["/f/1"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  for (const Row& row : rows) {
    ScratchDir scratch;
    const fs::path rs = scratch.path() / "rs";
    WriteFile(scratch.path() / "victim", "precious");
    row.prepare(rs, scratch.path());
    const bool wasEmpty = fs::exists(rs) && fs::is_empty(rs);
    std::vector<std::string> args = {"resolve", "--record", rs.string()};
    for (const std::string& option : row.options) {
      args.push_back(option == "VICTIM" ? (scratch.path() / "victim").string() : option);
    }
    args.push_back(site.Url("/f/1"));
    const ProcessRun run = RunHost(args);
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
    EXPECT_EQ(ReadFile(scratch.path() / "victim"), "precious") << row.what;
    EXPECT_FALSE(fs::exists(scratch.path() / "made-by-link")) << row.what;
    EXPECT_EQ(fs::exists(rs), row.folderKept) << row.what;
    if (wasEmpty) {
      EXPECT_TRUE(fs::is_empty(rs)) << row.what << ": nothing is left behind";
    }
  }
}

TEST(ReplayCommandTest, ReplayReadsOnlyRegularFilesInsideTheRecording) {
  ScratchDir scratch;
  const fs::path original = scratch.path() / "rec";
  RecordOneLink(original);
  const fs::path secret = scratch.path() / "secret";
  WriteFile(secret, "SECRET-CONTENT");
  using Change = std::function<void(const fs::path&)>;
  const Change linkOut = [&](const fs::path& rec) {
    fs::remove(rec / "002-response.html");
    fs::create_symlink(secret, rec / "002-response.html");
  };
  const Change hardLink = [&](const fs::path& rec) {
    fs::remove(rec / "002-response.html");
    fs::create_hard_link(secret, rec / "002-response.html");
  };
  const Change folder = [&](const fs::path& rec) {
    fs::remove(rec / "002-response.html");
    fs::create_directory(rec / "002-response.html");
  };
  const Change pipe = [&](const fs::path& rec) {
    fs::remove(rec / "002-response.html");
    mkfifo((rec / "002-response.html").c_str(), 0600);
  };
  const Change manifestLink = [&](const fs::path& rec) {
    fs::rename(rec / "manifest.tsv", scratch.path() / "elsewhere.tsv");
    fs::create_symlink(scratch.path() / "elsewhere.tsv", rec / "manifest.tsv");
  };
  auto editManifest = [](std::function<std::string(std::string)> edit) {
    return [edit](const fs::path& rec) {
      WriteFile(rec / "manifest.tsv", edit(ReadFile(rec / "manifest.tsv")));
    };
  };
  const std::string shown = kLink;
  struct Row {
    std::string what;
    Change change;
    int code;
    std::string message;
  };
  const Row rows[] = {
      {"a response linked to a file outside", linkOut, 66, "is a symbolic link"},
      {"a response hard-linked to a file outside", hardLink, 66, "has other names"},
      {"a folder as response", folder, 66, "002-response.html is not a regular file"},
      {"a pipe as response", pipe, 66, "002-response.html is not a regular file"},
      {"a linked manifest", manifestLink, 66, "is a symbolic link"},
      {"a name leaving the folder",
       editManifest([](std::string m) { return Replaced(m, "002-response.html", "../secret"); }),
       66, "bad file name \"../secret\""},
      {"a torn last line", editManifest([](std::string m) { return m.substr(0, m.size() - 8); }), 0,
       "is incomplete (the recording run was cut short there) and is ignored"},
      {"format 1, as written before", editManifest([](std::string m) {
         m = Replaced(m, "velmora-recording\t2", "velmora-recording\t1");
         return std::regex_replace(m, std::regex("\t[0-9]+\t[0-9]+\n"), "\n");
       }),
       0, ""},
      {"another recorded link, with control bytes", editManifest([&](std::string m) {
         return Replaced(m, "result\tlink\t" + shown, "result\tlink\thttp://x/\x1b[2J\x07");
       }),
       0, "when recorded, "},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const fs::path rec = scratch.path() / ("rec" + std::to_string(i));
    const fs::path dumps = scratch.path() / ("dumps" + std::to_string(i));
    fs::copy(original, rec);
    row.change(rec);
    const ProcessRun run =
        RunHost({"replay", "--debug", "--dump-dir", dumps.string(), rec.string()});
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
    EXPECT_EQ(PrintableFault(run.err), "") << row.what << ": " << run.err;
    EXPECT_EQ(run.err.find("SECRET"), std::string::npos) << row.what;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dumps, ignored)) {
      EXPECT_EQ(ReadFile(entry.path()).find("SECRET"), std::string::npos) << row.what;
    }
    if (row.code == 0) {
      EXPECT_EQ(run.out, shown + "\n") << row.what;
    }
  }
  // The note on a changed result names the link given now, too.
  const ProcessRun changed = RunHost({"replay", (scratch.path() / "rec8").string()});
  EXPECT_NE(changed.err.find("gave link http://x/%1B[2J%07; the plugin now gives link " + shown),
            std::string::npos)
      << changed.err;
}

TEST(ReplayCommandTest, ReplayKeepsEachLinksOwnExchanges) {
  TestSite site;
  site.pages["/f/1"] = "REDIRECT /files/1.html";
  site.pages["/files/1.html"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] =
      std::string("TURNS ") + kLinkAnswer + "\n--next--\n<b>Invalid download link</b></p>";
  site.Start();
  ScratchDir scratch;
  const std::string rec = (scratch.path() / "rec").string();
  const std::string url = site.Url("/f/1");
  const ProcessRun recorded =
      RunHost({"resolve", "--record", rec, "-"}, {.input = url + "\n" + url + "\n"});
  ASSERT_EQ(recorded.out, url + "\t" + kLink + "\n" + url + "\tinvalid link\n") << recorded.err;
  const ProcessRun replayed = RunHost({"replay", "--trace", rec});
  EXPECT_EQ(replayed.code, 2) << replayed.err;
  EXPECT_EQ(replayed.out, recorded.out) << replayed.err;
  EXPECT_NE(replayed.err.find("from " + site.Url("/files/1.html") + " after 1 redirect"),
            std::string::npos)
      << replayed.err;
}

TEST(ReplayCommandTest, SignalsKeepAUsableRecording) {
  struct Row {
    int signal;
    std::string jobs;
    size_t posts;  // under way when the signal comes
    std::string out, replayed, message, kept;
  };
  // ok, slow (its answer never comes), ok: one at a time the third never
  // starts; three at once it finishes, and the signal stops the slow one.
  const Row rows[] = {
      {SIGINT, "1", 2, "L\nS\tinterrupted\n", "L\nS\trecording incomplete\n", "after 1 of 3 links",
       "keeps 1 finished link(s) and the interrupted one"},
      {SIGTERM, "1", 2, "L\nS\tinterrupted\n", "L\nS\trecording incomplete\n", "after 1 of 3 links",
       "keeps 1 finished link(s) and the interrupted one"},
      {SIGINT, "3", 3, "L\nS\tinterrupted\nL\n", "L\nS\trecording incomplete\nL\n",
       "after 2 of 3 links", "keeps 2 finished link(s) and the interrupted one"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/ok"] = FormPage("/dl-ok", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
    site.answers["/dl-ok"] = kLinkAnswer;
    site.pages["/f/slow"] = FormPage("/dl-slow", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
    site.answers["/dl-slow"] = "HANG";
    site.Start();
    ScratchDir scratch;
    const fs::path rec = scratch.path() / "rec";
    const std::string input =
        site.Url("/f/ok") + "\n" + site.Url("/f/slow") + "\n" + site.Url("/f/ok") + "\n";
    auto lines = [&](std::string text) {
      text = std::regex_replace(text, std::regex("L\n"), site.Url("/f/ok") + "\t" + kLink + "\n");
      return std::regex_replace(text, std::regex("S\t"), site.Url("/f/slow") + "\t");
    };
    Process process =
        StartHost({"resolve", "--trace", "--jobs", row.jobs, "--record", rec.string(), "-"},
                  {.input = input});
    // Every exchange answered but the slow POST: each link's page, and the
    // ok links' POSTs. The trace says so as each one ends, however slowly
    // (a sanitizer build) the host runs.
    auto answered = [&] {
      const std::string err = ReadFile(process.err);
      size_t count = 0;
      for (size_t at = 0; (at = err.find("-> status 200", at)) != std::string::npos; ++at) ++count;
      return count;
    };
    // The slow POST reaches the site a moment after its page's trace line.
    for (int i = 0; i < 3000 && (answered() < 2 * row.posts - 1 || site.posts().size() < row.posts);
         ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(site.posts().size(), row.posts);
    ASSERT_EQ(answered(), 2 * row.posts - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the plugin reads the answer
    kill(process.pid, row.signal);
    const ProcessRun run = FinishProcess(process);
    EXPECT_EQ(run.code, 128 + row.signal) << run.err;
    EXPECT_EQ(run.out, lines(row.out));
    EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(row.kept), std::string::npos) << run.err;
    const std::string manifest = ReadFile(rec / "manifest.tsv");
    EXPECT_NE(manifest.find("result\tinterrupted\t-\n"), std::string::npos) << manifest;

    const ProcessRun replayed = RunHost({"replay", rec.string()});
    EXPECT_EQ(replayed.code, 7) << replayed.err;
    EXPECT_EQ(replayed.out, lines(row.replayed));
    EXPECT_NE(replayed.err.find("its run was interrupted"), std::string::npos) << replayed.err;
  }
}

}  // namespace
