// velmora-host as a user runs it: a child process talking HTTP to a test
// site on 127.0.0.1 that records what it received.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "testing/host_process.h"
#include "testing/json_schema.h"
#include "testing/test_site.h"

namespace {

using namespace velmora::testing;

TEST(HostEndToEndTest, PostsTheFormAsTheSiteExpects) {
  TestSite site;
  site.pages["/f/42"] = "REDIRECT /files/42/page.html";
  site.pages["/files/42/page.html"] = FormPage(
      "../dl.php",
      "<INPUT TYPE=\"hidden\" NAME=\"op\" VALUE=\"download2\">\n"
      "<INPUT TYPE=\"hidden\" NAME=\"id\" VALUE=\"42\">\n"
      "<INPUT TYPE=\"hidden\" NAME=\"fname\" VALUE=\"\xEE\xF2 a&b=c.zip\">\n"
      "<INPUT TYPE=\"hidden\" NAME=\"rand\" VALUE=\"\">\n"
      "<INPUT TYPE=\"submit\" NAME=\"method_free\" VALUE=\"Free Download\">\n"
      "<INPUT TYPE=\"submit\" NAME=\"method_premium\" VALUE=\"Premium\">\n");
  site.answers["/files/dl.php"] = kLinkAnswer;
  site.Start();

  const ProcessRun run = RunHost({"resolve", site.Url("/f/42")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, std::string(kLink) + "\n");
  EXPECT_EQ(run.err, "");

  const std::vector<Received> posts = site.posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].target, "/files/dl.php");  // relative to the page after the redirect
  EXPECT_EQ(posts[0].body,
            "op=download2&id=42&fname=%EE%F2%20a%26b%3Dc.zip&rand=&method_free=Free%20Download");
  EXPECT_EQ(posts[0].contentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(posts[0].cookie, "sid=s3ss10n");
  EXPECT_NE(posts[0].userAgent.find("Mozilla/5.0"), std::string::npos);
}

TEST(HostEndToEndTest, ResolvesTheFormActionAgainstThePage) {
  struct Row {
    std::string action;
    std::string postedTo;
  };
  const Row rows[] = {
      {"", "/files/7/page.html"},  // empty: the page itself, after redirects
      {"go", "/files/7/go"},
      {"/top/dl", "/top/dl"},
      {"../../up", "/up"},
      {"?step=2", "/files/7/page.html"},
      {"http://127.0.0.1:{PORT}/abs", "/abs"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/7"] = "REDIRECT /files/7/page.html";
    site.pages["/files/7/page.html"] = FormPage(row.action, "<INPUT NAME=\"id\" VALUE=\"7\">\n");
    site.answers[row.postedTo] = kLinkAnswer;
    site.Start();
    const ProcessRun run = RunHost({"resolve", site.Url("/f/7")});
    EXPECT_EQ(run.code, 0) << row.action << ": " << run.err;
    const std::vector<Received> posts = site.posts();
    ASSERT_EQ(posts.size(), 1u) << row.action;
    EXPECT_EQ(posts[0].target, row.postedTo) << row.action;
    EXPECT_EQ(posts[0].body, "id=7") << row.action;
  }
}

TEST(HostEndToEndTest, ResultKindsGiveTheirExitCodes) {
  struct Row {
    std::string answer;
    int code;
    std::string out;
    std::string message;
  };
  const Row rows[] = {
      {kLinkAnswer, 0, std::string(kLink) + "\n", ""},
      {"<P>Please wait 60 seconds.</P>", 1, "", "no download link found for"},
      {"<p><b>Invalid download link</b></p>", 2, "", "reports the link"},
      {"<p>Fehlerhafter Downloadlink</p>", 3, "", "as faulty"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/1"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
    site.answers["/dl"] = row.answer;
    site.Start();
    const ProcessRun run = RunHost({"resolve", site.Url("/f/1")});
    EXPECT_EQ(run.code, row.code) << row.answer;
    EXPECT_EQ(run.out, row.out) << row.answer;
    if (row.code != 0) {
      EXPECT_NE(run.err.find(row.message), std::string::npos) << run.err;
      EXPECT_NE(run.err.find(site.Url("/f/1")), std::string::npos) << run.err;
    }
  }
}

TEST(HostEndToEndTest, TransferFailuresGiveExitCodeFour) {
  struct Row {
    std::string what;
    std::string url;  // a path on the site, or a whole URL
    std::vector<std::string> options;
    std::string reason;
  };
  const std::string refused = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/f/1";
  const Row rows[] = {
      {"unresolvable host", "http://files.velmora.invalid/f/1", {}, "Could not resolve host"},
      {"refused connection", refused, {}, "127.0.0.1"},
      {"status 404", "/missing", {}, "HTTP status 404"},
      {"status 500 on the POST", "/f/500", {}, "HTTP status 500"},
      {"timeout", "/slow", {"--timeout", "1"}, "timed out"},
      {"page over the cap", "/big", {"--max-page-bytes", "1000"}, "larger than the limit of 1000"},
      {"redirect loop", "/loop", {}, "Maximum (10) redirects"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/500"] = FormPage("/dl500", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
    site.answers["/dl500"] = "STATUS 500";
    site.pages["/slow"] = "SLEEP";
    site.pages["/big"] = "BIG";
    site.pages["/loop"] = "REDIRECT /loop";
    site.Start();
    const std::string url = row.url[0] == '/' ? site.Url(row.url) : row.url;
    std::vector<std::string> args = {"resolve", "--connect-timeout", "5"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(url);
    const auto started = std::chrono::steady_clock::now();
    const ProcessRun run = RunHost(args);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << row.what;
    EXPECT_EQ(run.code, 4) << row.what << ": " << run.err;
    EXPECT_EQ(run.out, "") << row.what;
    EXPECT_NE(run.err.find(url), std::string::npos) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.reason), std::string::npos) << row.what << ": " << run.err;
  }
}

TEST(HostEndToEndTest, UsageErrorsGiveSixtyFour) {
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

TEST(HostEndToEndTest, SeveralLinksFromStdinPrintOneLineEach) {
  TestSite site;
  site.pages["/f/ok"] = FormPage("/dl-ok", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl-ok"] = kLinkAnswer;
  site.pages["/f/gone"] = FormPage("/dl-gone", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
  site.answers["/dl-gone"] = "<b>Invalid download link</b></p>";
  site.Start();
  const std::string input = site.Url("/f/ok") + "\r\n\n  " + site.Url("/f/gone") + "\n";
  const ProcessRun run = RunHost({"resolve", "-"}, {.input = input});
  EXPECT_EQ(run.code, 2) << run.err;
  EXPECT_EQ(run.out, site.Url("/f/ok") + "\t" + kLink + "\n" + site.Url("/f/gone") +
                         "\tinvalid link\n");
  EXPECT_NE(run.err.find("1 of 2 links"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no progress bar without a terminal";
}

TEST(HostEndToEndTest, DebugLogsDecodedAndDumpsTheAnswer) {
  TestSite site;
  site.pages["/f/1"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  ScratchDir dumps;
  const fs::path dir = dumps.path() / "dumps";  // made when missing
  const ProcessRun run = RunHost({"resolve", "--debug", "--trace", "--dump-dir", dir.string(),
                           site.Url("/f/1")});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ReadFile(dir / "Dornix.html"), kLinkAnswer);
  EXPECT_NE(run.err.find("Ссылка для POST: /dl"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Параметры POST:"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("[trace] POST " + site.Url("/dl")), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("body (4 bytes): id=1"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("status 200"), std::string::npos) << run.err;
}

TEST(HostEndToEndTest, ReplayGivesTheRecordedResultOffline) {
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

TEST(HostEndToEndTest, ReplayKeepsTransferFailures) {
  ScratchDir scratch;
  const fs::path recording = scratch.path() / "rec";
  const ProcessRun recorded =
      RunHost({"resolve", "--record", recording.string(), "http://gone.velmora.invalid/f/1"});
  ASSERT_EQ(recorded.code, 4) << recorded.err;
  const ProcessRun replayed = RunHost({"replay", recording.string()});
  EXPECT_EQ(replayed.code, 4) << replayed.err;
  EXPECT_NE(replayed.err.find("Could not resolve host"), std::string::npos) << replayed.err;
}

TEST(HostEndToEndTest, DemoResolvesTheSampleLinksAndGetsTheFile) {
  ScratchDir scratch;
  const ProcessRun run = RunHost({"demo", "-o", scratch.path().string()});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("download link: http://dl.dornix.example/get/7Qx2/holiday-photos.zip"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("3 of 3 sample links gave the expected result"), std::string::npos);
  const std::string file = ReadFile(scratch.path() / "holiday-photos.zip");
  EXPECT_EQ(file.substr(0, 4), "PK\x05\x06");  // a zip archive
  EXPECT_NE(run.out.find("saved to: " + (scratch.path() / "holiday-photos.zip").string() +
                         "\n  size:     " + std::to_string(file.size()) + " bytes\n  SHA-256:  "),
            std::string::npos)
      << run.out;
}

TEST(HostEndToEndTest, MissingPluginIsReported) {
  const ProcessRun run = RunHost({"resolve", "--plugin", "/nonexistent/Velmora.plg", "http://a.example/"});
  EXPECT_EQ(run.code, 69);
  EXPECT_NE(run.err.find("cannot load the plugin /nonexistent/Velmora.plg"), std::string::npos)
      << run.err;
}


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

TEST(HostEndToEndTest, RecordingWritesOnlyNewFilesInANewOrEmptyFolder) {
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
       {}, 73, "is not empty", true},
      {"a dangling link inside",
       [](const fs::path& rs, const fs::path& scratch) {
         fs::create_directory(rs);
         fs::create_symlink(scratch / "made-by-link", rs / "manifest.tsv");
       },
       {}, 73, "is not empty", true},
      {"a used folder", [](const fs::path& rs, const fs::path&) {
         fs::create_directory(rs);
         WriteFile(rs / "notes.txt", "mine");
       },
       {}, 73, "is not empty", true},
      {"--dump-dir names a file, new folder", [](const fs::path&, const fs::path&) {},
       {"--dump-dir", "VICTIM"}, 73, "dump folder", false},
      {"--dump-dir names a file, empty folder",
       [](const fs::path& rs, const fs::path&) { fs::create_directory(rs); },
       {"--dump-dir", "VICTIM"}, 73, "dump folder", true},
      {"no plugin", [](const fs::path&, const fs::path&) {},
       {"--plugin", "/nonexistent/Velmora.plg"}, 69, "cannot load the plugin", false},
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

TEST(HostEndToEndTest, ReplayReadsOnlyRegularFilesInsideTheRecording) {
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
      {"a torn last line",
       editManifest([](std::string m) { return m.substr(0, m.size() - 8); }), 0,
       "is incomplete (the recording run was cut short there) and is ignored"},
      {"format 1, as written before",
       editManifest([](std::string m) {
         m = Replaced(m, "velmora-recording\t2", "velmora-recording\t1");
         return std::regex_replace(m, std::regex("\t[0-9]+\t[0-9]+\n"), "\n");
       }),
       0, ""},
      {"another recorded link, with control bytes",
       editManifest([&](std::string m) {
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
    const ProcessRun run = RunHost({"replay", "--debug", "--dump-dir", dumps.string(), rec.string()});
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

TEST(HostEndToEndTest, NoSiteByteReachesTheOutputRaw) {
  struct Row {
    std::string what;
    std::string page;    // of /f/1; its form posts to /dl
    std::string answer;  // of /dl
    int code;
    std::string result;  // the RESULT column for /f/1
  };
  const std::string form = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  const Row rows[] = {
      {"a link forging lines and escapes", form,
       "Your download link: <A HREF=\"http://dl.example/a\r\nhttp://forged.example/\tx\x1b[2J\x07\x9b\">",
       0, "http://dl.example/a%0D%0Ahttp://forged.example/%09x%1B[2J%07%9B"},
      {"a file: link", form, "Your download link: <A HREF=\"file:///etc/shadow\">", 6, "bad link"},
      {"a relative link", form, "Your download link: <A HREF=\"get/1\">", 6, "bad link"},
      {"an action with escapes", FormPage("ftp://\x1b[31mx", "<INPUT NAME=\"a\" VALUE=\"\x1b]0;t\x07\">\n"),
       kLinkAnswer, 4, "transfer error"},
      {"headers with escapes", "HEADER X-Evil: \x1b]0;owned\x07\n" + form, kLinkAnswer, 0, kLink},
      {"a redirect with escapes", "REDIRECT /next\x1b[2J", kLinkAnswer, 4, "transfer error"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/f/1"] = row.page;
    site.answers["/dl"] = row.answer;
    site.pages["/f/2"] = FormPage("/dl2", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
    site.answers["/dl2"] = kLinkAnswer;
    site.Start();
    ScratchDir scratch;
    const std::string rec = (scratch.path() / "rec").string();
    const std::string input = site.Url("/f/1") + "\n" + site.Url("/f/2") + "\n";
    const ProcessRun run = RunHost({"resolve", "--debug", "--trace", "--dump-dir",
                                 (scratch.path() / "d").string(), "--record", rec, "-"},
                                {.input = input});
    EXPECT_EQ(run.code, std::max(row.code, 0)) << row.what << ": " << run.err;
    EXPECT_EQ(run.out, site.Url("/f/1") + "\t" + row.result + "\n" + site.Url("/f/2") + "\t" +
                           kLink + "\n")
        << row.what;
    EXPECT_EQ(PrintableFault(run.err), "") << row.what << ": " << run.err;
    const ProcessRun replayed = RunHost({"replay", "--trace", "--debug", "--dump-dir",
                                      (scratch.path() / "d2").string(), rec});
    EXPECT_EQ(replayed.out, run.out) << row.what << ": " << replayed.err;
    EXPECT_EQ(PrintableFault(replayed.err), "") << row.what << ": " << replayed.err;
  }
}

TEST(HostEndToEndTest, ReplayKeepsEachLinksOwnExchanges) {
  TestSite site;
  site.pages["/f/1"] = "REDIRECT /files/1.html";
  site.pages["/files/1.html"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] = std::string("TURNS ") + kLinkAnswer +
                        "\n--next--\n<b>Invalid download link</b></p>";
  site.Start();
  ScratchDir scratch;
  const std::string rec = (scratch.path() / "rec").string();
  const std::string url = site.Url("/f/1");
  const ProcessRun recorded = RunHost({"resolve", "--record", rec, "-"}, {.input = url + "\n" + url + "\n"});
  ASSERT_EQ(recorded.out, url + "\t" + kLink + "\n" + url + "\tinvalid link\n") << recorded.err;
  const ProcessRun replayed = RunHost({"replay", "--trace", rec});
  EXPECT_EQ(replayed.code, 2) << replayed.err;
  EXPECT_EQ(replayed.out, recorded.out) << replayed.err;
  EXPECT_NE(replayed.err.find("from " + site.Url("/files/1.html") + " after 1 redirect"),
            std::string::npos)
      << replayed.err;
}

TEST(HostEndToEndTest, FailedWritesGiveTheirExitCodes) {
  struct Row {
    std::string what;
    std::function<void(const fs::path& dumps, const fs::path& scratch)> prepare;
    std::string stdoutPath;
    int code;
    std::string message;
  };
  const Row rows[] = {
      {"the dump file is a folder",
       [](const fs::path& dumps, const fs::path&) { fs::create_directories(dumps / "Dornix.html"); },
       "", 73, "cannot write the debug dump"},
      {"the dump file links elsewhere",
       [](const fs::path& dumps, const fs::path& scratch) {
         fs::create_directories(dumps);
         fs::create_symlink(scratch / "victim", dumps / "Dornix.html");
       },
       "", 73, "is a symbolic link"},
      {"stdout is full", [](const fs::path&, const fs::path&) {}, "/dev/full", 74,
       "cannot write standard output"},
  };
  TestSite site;
  site.pages["/f/1"] = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  for (const Row& row : rows) {
    ScratchDir scratch;
    const fs::path dumps = scratch.path() / "dumps";
    WriteFile(scratch.path() / "victim", "precious");
    row.prepare(dumps, scratch.path());
    const ProcessRun run =
        RunHost({"resolve", "--debug", "--dump-dir", dumps.string(), site.Url("/f/1")},
                {.stdoutPath = row.stdoutPath});
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
    EXPECT_EQ(ReadFile(scratch.path() / "victim"), "precious") << row.what;
  }
}

TEST(HostEndToEndTest, SignalsKeepAUsableRecording) {
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
        StartHost({"resolve", "--jobs", row.jobs, "--record", rec.string(), "-"}, {.input = input});
    for (int i = 0; i < 1000 && site.posts().size() < row.posts; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(site.posts().size(), row.posts);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last ok one finishes
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

TEST(HostEndToEndTest, ABatchIsABatchWhateverItsLength) {
  TestSite site;
  site.pages["/f/ok"] = FormPage("/dl-ok", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl-ok"] = kLinkAnswer;
  site.pages["/f/two"] = FormPage("/dl-two", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
  site.answers["/dl-two"] = "<P>Please wait.</P>";
  site.Start();
  ScratchDir scratch;
  const std::string list = "# my links\n\n  " + site.Url("/f/ok") + " \r\nmailto:x@y.example\n";
  WriteFile(scratch.path() / "list", list);
  struct Row {
    std::vector<std::string> args;
    std::string input;
    int code;
    std::string out;
  };
  const std::string ok = site.Url("/f/ok") + "\t" + kLink + "\n";
  const Row rows[] = {
      {{"resolve", "-"}, list, 64, ok + "mailto:x@y.example\tbad URL\n"},
      {{"resolve", "-a", (scratch.path() / "list").string()}, "", 64,
       ok + "mailto:x@y.example\tbad URL\n"},
      {{"resolve", "--batch-file", "-"}, site.Url("/f/ok") + "\n", 0, ok},
      {{"resolve", "-a", (scratch.path() / "none").string()}, "", 66, ""},
  };
  for (const Row& row : rows) {
    const ProcessRun run = RunHost(row.args, {.input = row.input});
    EXPECT_EQ(run.code, row.code) << row.args.back() << ": " << run.err;
    EXPECT_EQ(run.out, row.out) << row.args.back();
    if (row.code == 64) {
      EXPECT_NE(run.err.find("line 4: \"mailto:x@y.example\" is not an http or https URL"),
                std::string::npos)
          << run.err;
    }
  }
  // With --debug each link of a batch dumps to its own file.
  const fs::path dumps = scratch.path() / "dumps";
  const ProcessRun debug = RunHost({"resolve", "--debug", "--dump-dir", dumps.string(), "-"},
                                {.input = site.Url("/f/ok") + "\n" + site.Url("/f/two") + "\n"});
  EXPECT_EQ(ReadFile(dumps / "001-Dornix.html"), kLinkAnswer) << debug.err;
  EXPECT_EQ(ReadFile(dumps / "002-Dornix.html"), "<P>Please wait.</P>") << debug.err;
  EXPECT_NE(debug.err.find("saved to " + (dumps / "002-Dornix.html").string()), std::string::npos)
      << debug.err;
}

// The JSON schema documented in host/README.md.
nlohmann::json DocumentedSchema() {
  return velmora::testing::SchemaInReadme(ReadFile(VELMORA_HOST_README), "### JSON output");
}

TEST(HostEndToEndTest, JsonLinesFollowTheDocumentedSchema) {
  TestSite site;
  site.pages["/f/ok"] = "REDIRECT /f/ok2";
  site.pages["/f/ok2"] = FormPage("/dl-ok", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  site.answers["/dl-ok"] = kLinkAnswer;
  site.pages["/f/gone"] = FormPage("/dl-gone", "<INPUT NAME=\"id\" VALUE=\"2\">\n");
  site.answers["/dl-gone"] = "<b>Invalid download link</b></p>";
  site.pages["/f/file"] = FormPage("/dl-file", "<INPUT NAME=\"id\" VALUE=\"3\">\n");
  site.answers["/dl-file"] = "Your download link: <A HREF=\"file:///etc/shadow\x1b\">";
  site.Start();
  ScratchDir scratch;
  const fs::path dumps = scratch.path() / "d";
  const std::string input = site.Url("/f/ok") + "\n" + site.Url("/f/gone") + "\nnot a url\n" +
                            site.Url("/missing") + "\n" + site.Url("/f/file") + "\n";
  const ProcessRun run = RunHost({"resolve", "--json", "--debug", "--dump-dir", dumps.string(), "-"},
                              {.input = input});
  EXPECT_EQ(run.code, 64) << run.err;
  const nlohmann::json schema = DocumentedSchema();
  std::vector<nlohmann::json> lines;
  size_t start = 0;
  for (size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(run.out.substr(start, end - start)));
    EXPECT_EQ(velmora::testing::SchemaFault(schema, lines.back(), "line " + std::to_string(lines.size())), "");
  }
  ASSERT_EQ(lines.size(), 5u) << run.out;
  EXPECT_EQ(PrintableFault(run.out), "");
  const char* outcomes[] = {"link", "notfound", "bad-url", "transfer-error", "bad-link"};
  const int codes[] = {0, 2, 64, 4, 6};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["outcome"], outcomes[i]) << lines[i];
    EXPECT_EQ(lines[i]["exit_code"], codes[i]) << lines[i];
    EXPECT_EQ(lines[i]["line"], i + 1 + (i >= 3 ? 0 : 0)) << lines[i];
  }
  EXPECT_EQ(lines[0]["link"], kLink);
  EXPECT_EQ(lines[0]["exchanges"][0]["redirects"], 1);
  EXPECT_EQ(lines[0]["exchanges"][1]["method"], "POST");
  EXPECT_EQ(lines[4]["link"], "file:///etc/shadow%1B");
  // Each link of a batch has its own dump file, named in its report.
  EXPECT_EQ(lines[0]["dump"], (dumps / "001-Dornix.html").string());
  EXPECT_EQ(ReadFile(dumps / "001-Dornix.html"), kLinkAnswer);
  EXPECT_NE(ReadFile(dumps / "005-Dornix.html").find("file:///etc/shadow"), std::string::npos);
  EXPECT_NE(run.err.find("answer page saved to " + (dumps / "005-Dornix.html").string()),
            std::string::npos)
      << run.err;
}

TEST(HostEndToEndTest, TraceSaysWhatWentOverTheWire) {
  struct Row {
    std::string what;
    std::string page;  // of /p
    std::vector<std::string> options;
    int code;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const std::string form = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  const Row rows[] = {
      {"gzip", "GZIP", {}, 1, {"received 40 bytes (5000 after decoding)", "< Content-Encoding: gzip"}, {}},
      {"a refused redirect", "REDIRECT file:///etc/passwd", {}, 4,
       {"the redirect to file:///etc/passwd was not followed"}, {"from file:", "no download link"}},
      {"a 302 without Location", "NOLOCATION", {}, 4, {"HTTP status 302 but named no Location"},
       {"no download link"}},
      {"cookies masked", form, {}, 0, {"< Set-Cookie: sid=***; Path=/", "> Cookie: sid=***"},
       {"s3ss10n"}},
      {"cookies shown", form, {"--trace-cookies"}, 0, {"> Cookie: sid=s3ss10n"}, {}},
      {"headers of each hop", "REDIRECT /p2", {}, 1,
       {"> GET /p HTTP/1.1", "< Location: /p2", "redirect 1 to ", "> GET /p2 HTTP/1.1"}, {}},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/p"] = row.page;
    site.pages["/p2"] = "<P>nothing</P>";
    site.answers["/dl"] = kLinkAnswer;
    site.Start();
    std::vector<std::string> args = {"resolve", "--trace"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(site.Url("/p"));
    const ProcessRun run = RunHost(args);
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    for (const std::string& text : row.present) {
      EXPECT_NE(run.err.find(text), std::string::npos) << row.what << ": " << text << "\n" << run.err;
    }
    for (const std::string& text : row.absent) {
      EXPECT_EQ(run.err.find(text), std::string::npos) << row.what << ": " << text << "\n" << run.err;
    }
  }
  // --dump-dir alone turns the dump on rather than being ignored.
  TestSite site;
  site.pages["/p"] = form;
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  ScratchDir dumps;
  EXPECT_EQ(RunHost({"resolve", "--dump-dir", dumps.path().string(), site.Url("/p")}).code, 0);
  EXPECT_EQ(ReadFile(dumps.path() / "Dornix.html"), kLinkAnswer);
}

TEST(HostEndToEndTest, NetworkOptionsReachTheSite) {
  struct Row {
    std::string what;
    std::string page;  // of /p; its form posts to /dl
    std::vector<std::string> options;
    int code;
    size_t gets;  // requests of /p
    std::string message;
  };
  const std::string form = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"1\">\n");
  const Row rows[] = {
      {"a 503, then the page", "TURNS STATUS 503\n--next--\n" + form, {"--retries", "2"}, 0, 2, ""},
      {"a 503 without retries", "TURNS STATUS 503\n--next--\n" + form, {}, 4, 1, "status 503"},
      {"a 404 is not retried", "STATUS 404", {"--retries", "3"}, 4, 1, "status 404"},
      {"a deadline for the link", "SLEEP", {"--deadline", "1", "--retries", "5"}, 4, 1,
       "the deadline of 1 seconds for this link passed"},
  };
  for (const Row& row : rows) {
    TestSite site;
    site.pages["/p"] = row.page;
    site.answers["/dl"] = kLinkAnswer;
    site.Start();
    std::vector<std::string> args = {"resolve"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(site.Url("/p"));
    const auto started = std::chrono::steady_clock::now();
    const ProcessRun run = RunHost(args);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << row.what;
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.message), std::string::npos) << row.what << ": " << run.err;
    size_t gets = 0;
    for (const Received& request : site.received()) gets += request.target == "/p";
    EXPECT_EQ(gets, row.gets) << row.what;
  }

  // Identity, extra headers and a cookie file that is read and written.
  TestSite site;
  site.pages["/p"] = form;
  site.answers["/dl"] = kLinkAnswer;
  site.Start();
  ScratchDir scratch;
  const fs::path cookies = scratch.path() / "cookies.txt";
  WriteFile(cookies, "127.0.0.1\tFALSE\t/\tFALSE\t0\tmine\tkept\n");
  const ProcessRun run = RunHost({"resolve", "--user-agent", "VelmoraTest/1", "--header",
                               "X-Test: hello", "--cookies", cookies.string(), site.Url("/p")});
  EXPECT_EQ(run.code, 0) << run.err;
  const std::vector<Received> received = site.received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[1].userAgent, "VelmoraTest/1");
  EXPECT_EQ(received[1].testHeader, "hello");
  EXPECT_NE(received[0].cookie.find("mine=kept"), std::string::npos);
  EXPECT_NE(ReadFile(cookies).find("sid\ts3ss10n"), std::string::npos) << ReadFile(cookies);
  EXPECT_EQ(RunHost({"resolve", "--header", "X-Bad\r\nInjected: 1", site.Url("/p")}).code, 64);

  // A proxy gets the request for a name nobody here resolves.
  const ProcessRun proxied =
      RunHost({"resolve", "--proxy", site.Url(""), "http://files.velmora.test/p"});
  EXPECT_EQ(proxied.code, 4) << proxied.err;  // the "proxy" knows no such page
  bool sawProxied = false;
  for (const Received& request : site.received()) {
    sawProxied |= request.target.find("/p") != std::string::npos && request.method == "GET" &&
                  proxied.err.find("404") != std::string::npos;
  }
  EXPECT_TRUE(sawProxied) << proxied.err;
}

TEST(HostEndToEndTest, VersionAndHelpSayWhatTheyShould) {
  const ProcessRun version = RunHost({"--version"});
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_TRUE(std::regex_search(version.out, std::regex("^velmora-host [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version.out;
  EXPECT_TRUE(std::regex_search(version.out, std::regex("Velmora\\.plg, build id [0-9a-f]{40}\n")))
      << version.out;
  EXPECT_NE(version.out.find("libcurl "), std::string::npos) << version.out;

  // Every exit code of the README's table is in the help text.
  const std::string readme = ReadFile(VELMORA_HOST_README);
  const std::string help = RunHost({"--help"}).out + RunHost({"resolve", "--help"}).out;
  const std::regex row("\n\\| ([0-9]+) \\|");
  size_t codes = 0;
  for (auto it = std::sregex_iterator(readme.begin(), readme.end(), row);
       it != std::sregex_iterator(); ++it) {
    ++codes;
    const std::string code = (*it)[1];
    EXPECT_TRUE(std::regex_search(help, std::regex("\n +" + code + "  "))) << code;
  }
  EXPECT_GE(codes, 16u);
}

}  // namespace

namespace {

// A file page at /f/ID whose form gives a link to href on the site itself,
// which serves file at path (href decoded).
void AddFilePage(TestSite& site, const std::string& id, const std::string& href,
                 const std::string& path, const std::string& file) {
  site.pages["/f/" + id] = FormPage("/dl/" + id, "<INPUT NAME=\"id\" VALUE=\"" + id + "\">\n");
  const std::string link = href.rfind("file:", 0) == 0 ? href : "http://127.0.0.1:{PORT}" + href;
  site.answers["/dl/" + id] = "Your download link: <A HREF=\"" + link + "\">";
  if (!path.empty()) site.pages[path] = file;
}

std::string Listing(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
  return text;
}

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += "0123456789abcdef"[digest[i] >> 4];
    hex += "0123456789abcdef"[digest[i] & 15];
  }
  return hex;
}

std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> lines;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(nlohmann::json::parse(out.substr(start, end - start)));
  }
  return lines;
}

std::string Pattern(size_t size, int seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 7 + seed) % 251);
  return text;
}

TEST(HostGetTest, NamesTheFileSafelyAndWritesOnlyThere) {
  struct Row {
    std::string what;
    std::string headers;  // before the file's bytes
    std::string href;
    std::string path;
    int code;
    std::string name;  // saved in the folder; empty: nothing is
  };
  const auto disposition = [](const std::string& value) {
    return "HEADER Content-Disposition: " + value + "\n";
  };
  const Row rows[] = {
      {"filename=", disposition("attachment; filename=\"report 2024.pdf\""), "/files/1",
       "/files/1", 0, "report 2024.pdf"},
      {"filename*=", disposition("attachment; filename=\"x.txt\"; filename*=UTF-8''%E2%82%AC.txt"),
       "/files/2", "/files/2", 0, "\xE2\x82\xAC.txt"},
      {"the URL", "", "/files/a%20b.zip", "/files/a b.zip", 0, "a b.zip"},
      {"../../x", disposition("attachment; filename=\"../../x\""), "/files/3", "/files/3", 0, "x"},
      {"a/b", disposition("attachment; filename=\"a/b\""), "/files/4", "/files/4", 0, "b"},
      {"control bytes", disposition("attachment; filename=\"a\x1b[2Jb\x07.txt\""), "/files/5",
       "/files/5", 0, "a_[2Jb_.txt"},
      {"CON", disposition("attachment; filename=\"CON\""), "/files/6", "/files/6", 0, "_CON"},
      {"a bad link", "", "file:///etc/passwd", "", 6, ""},
      {"a missing file", "", "/files/none", "", 8, ""},
      {"a redirect to file:", "REDIRECT file:///etc/passwd", "/files/7", "/files/7", 8, ""},
  };
  for (const Row& row : rows) {
    TestSite site;
    const std::string content = "bytes of " + row.what;
    AddFilePage(site, "1", row.href, row.path, row.headers + content);
    site.Start();
    ScratchDir scratch;
    const fs::path out = scratch.path() / "out";  // made when missing
    const ProcessRun run = RunHost({"get", "-o", out.string(), site.Url("/f/1")});
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_EQ(PrintableFault(run.err), "") << row.what << ": " << run.err;
    EXPECT_EQ(Listing(scratch.path()), "out") << row.what;
    EXPECT_EQ(Listing(out), row.name) << row.what;
    if (row.name.empty()) continue;
    EXPECT_EQ(run.out, (out / row.name).string() + "\n") << row.what;
    EXPECT_EQ(ReadFile(out / row.name), content) << row.what;
    EXPECT_NE(run.err.find("saved " + (out / row.name).string()), std::string::npos) << run.err;
    // As a browser: the cookies of the page and the answer page as referrer.
    const Received fetched = site.received().back();
    EXPECT_EQ(fetched.cookie, "sid=s3ss10n") << row.what;
    EXPECT_EQ(fetched.referer, site.Url("/dl/1")) << row.what;
  }
}

TEST(HostGetTest, ResumesCutTransfersAndNeverOverwrites) {
  const std::string content = Pattern(10000, 1);
  TestSite site;
  AddFilePage(site, "cut", "/files/big.bin", "/files/big.bin", "CUT 4000\n" + content);
  AddFilePage(site, "plain", "/files/plain.bin", "/files/plain.bin", content);
  AddFilePage(site, "norange", "/files/x.bin", "/files/x.bin", "NORANGE\n" + content);
  site.Start();
  ScratchDir scratch;
  const fs::path out = scratch.path();
  auto get = [&](const std::string& id, std::vector<std::string> options) {
    std::vector<std::string> args = {"get", "--json", "-o", out.string()};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(site.Url("/f/" + id));
    const ProcessRun run = RunHost(args);
    const std::vector<nlohmann::json> lines = JsonLines(run.out);
    EXPECT_EQ(lines.size(), 1u) << run.out << run.err;
    return std::make_pair(run, lines.empty() ? nlohmann::json() : lines[0]);
  };

  // Cut halfway: no file, the .part kept, the size said.
  auto [cut, cutJson] = get("cut", {});
  EXPECT_EQ(cut.code, 8) << cut.err;
  EXPECT_EQ(cutJson["outcome"], "download-error");
  EXPECT_EQ(cutJson["download"]["partial"], (out / "big.bin.part").string());
  EXPECT_EQ(cutJson["download"]["path"], nullptr);
  EXPECT_EQ(cutJson["download"]["expected_size"], 10000);
  EXPECT_NE(cut.err.find("cut off after 4000 of 10000 bytes"), std::string::npos) << cut.err;
  EXPECT_NE(cut.err.find("big.bin.part keeps 4000 bytes for --continue"), std::string::npos);
  EXPECT_EQ(Listing(out), "big.bin.part");
  // --continue asks for the rest only.
  auto [resumed, resumedJson] = get("cut", {"-c"});
  EXPECT_EQ(resumed.code, 0) << resumed.err;
  EXPECT_TRUE(ReadFile(out / "big.bin") == content);
  EXPECT_EQ(resumedJson["download"]["resumed_from"], 4000);
  EXPECT_EQ(resumedJson["download"]["sha256"], Sha256Hex(content));
  EXPECT_EQ(site.received().back().range, "bytes=4000-");
  EXPECT_EQ(Listing(out), "big.bin");
  // With --retries the same run goes on from the cut.
  const fs::path retried = scratch.path() / "retried";
  const ProcessRun retry = RunHost({"get", "--json", "--retries", "1", "-o", retried.string(),
                                 site.Url("/f/cut")});
  EXPECT_EQ(retry.code, 0) << retry.err;
  EXPECT_TRUE(ReadFile(retried / "big.bin") == content);
  const std::vector<nlohmann::json> retryJson = JsonLines(retry.out);
  ASSERT_EQ(retryJson.size(), 1u);
  EXPECT_EQ(retryJson[0]["download"]["attempts"], 2);
  EXPECT_EQ(retryJson[0]["download"]["resumed_from"], 4000);
  fs::remove_all(retried);

  // A server that ignores Range: the .part starts over.
  WriteFile(out / "x.bin.part", std::string(3000, 'Z'));
  auto [ignored, ignoredJson] = get("norange", {"--continue"});
  EXPECT_EQ(ignored.code, 0) << ignored.err;
  EXPECT_TRUE(ReadFile(out / "x.bin") == content);
  EXPECT_EQ(ignoredJson["download"]["resumed_from"], 0);
  EXPECT_EQ(ignoredJson["download"]["sha256"], Sha256Hex(content));

  // An existing file stays; so does an earlier .part without --continue,
  // and a .part that links elsewhere is not followed even with it.
  WriteFile(out / "plain.bin", "mine");
  WriteFile(out / "plain (1).bin.part", content.substr(0, 7));  // from an earlier run
  WriteFile(out / "victim", "precious");
  fs::create_symlink(out / "victim", out / "plain (2).bin.part");
  auto [kept, keptJson] = get("plain", {"-c"});
  EXPECT_EQ(kept.code, 0) << kept.err;
  EXPECT_EQ(keptJson["download"]["path"], (out / "plain (1).bin").string()) << keptJson;
  EXPECT_EQ(ReadFile(out / "plain.bin"), "mine");
  EXPECT_TRUE(ReadFile(out / "plain (1).bin") == content);  // the earlier .part, resumed
  auto [again, againJson] = get("plain", {});
  EXPECT_EQ(againJson["download"]["path"], (out / "plain (3).bin").string()) << againJson;
  EXPECT_EQ(ReadFile(out / "victim"), "precious");
  auto [replaced, replacedJson] = get("plain", {"--overwrite"});
  EXPECT_EQ(replaced.code, 0) << replaced.err;
  EXPECT_TRUE(ReadFile(out / "plain.bin") == content);
  EXPECT_EQ(Listing(out), "big.bin,plain (1).bin,plain (2).bin.part,plain (3).bin,plain.bin,"
                          "victim,x.bin");
}

TEST(HostGetTest, ParallelBatchesComeBackInOrder) {
  constexpr int kLinks = 12;
  TestSite site;
  std::string input;
  std::vector<std::string> contents;
  for (int i = 0; i < kLinks; ++i) {
    const std::string id = std::to_string(i);
    contents.push_back(Pattern(1000 + static_cast<size_t>(i) * 3000, i));
    AddFilePage(site, id, "/files/" + id + ".bin", "/files/" + id + ".bin", contents.back());
    // The first links take longest: they finish last.
    site.pages["/f/" + id] = "DELAY " + std::to_string((kLinks - i) * 40) + "\n" +
                             site.pages["/f/" + id];
  }
  site.Start();
  for (int i = 0; i < kLinks; ++i) input += site.Url("/f/" + std::to_string(i)) + "\n";
  input += "not a link\n";
  ScratchDir scratch;
  const ProcessRun run =
      RunHost({"get", "--jobs", "8", "--json", "-o", scratch.path().string(), "-"}, {.input = input});
  EXPECT_EQ(run.code, 64) << run.err;
  const std::vector<nlohmann::json> lines = JsonLines(run.out);
  ASSERT_EQ(lines.size(), kLinks + 1u) << run.out;
  const nlohmann::json schema = DocumentedSchema();
  for (int i = 0; i < kLinks; ++i) {
    const nlohmann::json& line = lines[static_cast<size_t>(i)];
    EXPECT_EQ(velmora::testing::SchemaFault(schema, line, "line " + std::to_string(i + 1)), "");
    EXPECT_EQ(line["url"], site.Url("/f/" + std::to_string(i)));
    const std::string path = (scratch.path() / (std::to_string(i) + ".bin")).string();
    EXPECT_EQ(line["download"]["path"], path);
    EXPECT_EQ(line["download"]["sha256"], Sha256Hex(contents[static_cast<size_t>(i)]));
    EXPECT_TRUE(ReadFile(path) == contents[static_cast<size_t>(i)]) << path;
  }
  EXPECT_EQ(lines.back()["outcome"], "bad-url");
  EXPECT_GE(site.mostAtOnce(), 4);

  // A recording made with 8 jobs keeps each link's exchanges its own, in
  // order, and replays with one.
  const std::string rec = (scratch.path() / "rec").string();
  const ProcessRun recorded = RunHost({"resolve", "--jobs", "8", "--record", rec, "-"}, {.input = input});
  EXPECT_EQ(recorded.code, 64) << recorded.err;
  std::string expected;
  for (int i = 0; i < kLinks; ++i) {
    expected += site.Url("/f/" + std::to_string(i)) + "\thttp://127.0.0.1:" +
                site.Url("").substr(17) + "/files/" + std::to_string(i) + ".bin\n";
  }
  EXPECT_EQ(recorded.out, expected + "not%20a%20link\tbad URL\n");
  const ProcessRun replayed = RunHost({"replay", "--jobs", "1", rec});
  EXPECT_EQ(replayed.code, 0) << replayed.err;
  EXPECT_EQ(replayed.out, expected);
  EXPECT_EQ(replayed.err, "");
}

}  // namespace
