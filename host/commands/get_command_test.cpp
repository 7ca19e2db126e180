// velmora-host get: links resolved on a test site on 127.0.0.1, then their
// files downloaded from it into a scratch folder.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>

#include "host/io/terminal_text.h"
#include "testing/host_process.h"
#include "testing/json_schema.h"
#include "testing/test_site.h"

namespace {

using namespace velmora::testing;
using velmora::host::Shown;

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

TEST(GetCommandTest, NamesTheFileSafelyAndWritesOnlyThere) {
  struct Row {
    std::string what;
    std::string headers;  // before the file's bytes
    std::string href;
    std::string path;
    int code;
    std::string name;       // saved in the folder; empty: nothing is
    std::string said = {};  // on stderr
    std::vector<std::string> options = {};
  };
  const auto disposition = [](const std::string& value) {
    return "HEADER Content-Disposition: " + value + "\n";
  };
  const Row rows[] = {
      {"filename=", disposition("attachment; filename=\"report 2024.pdf\""), "/files/1", "/files/1",
       0, "report 2024.pdf"},
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
      {"a redirect to file:", "REDIRECT file:///etc/passwd\n", "/files/7", "/files/7", 8, "",
       "the redirect to file:///etc/passwd was not followed: only http and https are"},
      {"a redirect to ftp:", "REDIRECT ftp://127.0.0.1:9/x\n", "/files/8", "/files/8", 8, "",
       "the redirect to ftp://127.0.0.1:9/x was not followed"},
      // --timeout is the longest stall: a byte every 0.3 s keeps a 1 s one alive.
      {"drip", "DRIP 300\n", "/files/9", "/files/9", 0, "9", "", {"--timeout", "1"}},
  };
  for (const Row& row : rows) {
    TestSite site;
    const std::string content = "bytes of " + row.what;
    AddFilePage(site, "1", row.href, row.path, row.headers + content);
    site.Start();
    ScratchDir scratch;
    const fs::path out = scratch.path() / "out";  // made when missing
    std::vector<std::string> args = {"get", "-o", out.string()};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(site.Url("/f/1"));
    const ProcessRun run = RunHost(args);
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    EXPECT_NE(run.err.find(row.said), std::string::npos) << row.what << ": " << run.err;
    if (row.said.find("redirect") != std::string::npos) {  // the last URL really fetched
      args.insert(args.begin() + 1, "--json");
      const std::vector<nlohmann::json> lines = JsonLines(RunHost(args).out);
      ASSERT_EQ(lines.size(), 1u) << row.what;
      EXPECT_EQ(lines[0]["download"]["final_url"], site.Url(row.path)) << row.what;
    }
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

TEST(GetCommandTest, ResumesCutTransfersAndNeverOverwrites) {
  const std::string content = Pattern(10000, 1);
  TestSite site;
  AddFilePage(site, "cut", "/files/big.bin", "/files/big.bin",
              "HEADER ETag: \"big1\"\nCUT 4000\n" + content);
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
  EXPECT_EQ(Listing(out), ".big.bin.part.velmora,big.bin.part");  // the .part and its record
  // --continue asks for the rest only, if the file is still that version.
  auto [resumed, resumedJson] = get("cut", {"-c"});
  EXPECT_EQ(resumed.code, 0) << resumed.err;
  EXPECT_TRUE(ReadFile(out / "big.bin") == content);
  EXPECT_EQ(resumedJson["download"]["resumed_from"], 4000);
  EXPECT_EQ(resumedJson["download"]["sha256"], Sha256Hex(content));
  EXPECT_EQ(site.received().back().range, "bytes=4000-");
  EXPECT_EQ(site.received().back().ifRange, "\"big1\"");
  EXPECT_EQ(Listing(out), "big.bin");
  // With --retries the same run goes on from the cut.
  const fs::path retried = scratch.path() / "retried";
  const ProcessRun retry =
      RunHost({"get", "--json", "--retries", "1", "-o", retried.string(), site.Url("/f/cut")});
  EXPECT_EQ(retry.code, 0) << retry.err;
  EXPECT_TRUE(ReadFile(retried / "big.bin") == content);
  const std::vector<nlohmann::json> retryJson = JsonLines(retry.out);
  ASSERT_EQ(retryJson.size(), 1u);
  EXPECT_EQ(retryJson[0]["download"]["attempts"], 2);
  EXPECT_EQ(retryJson[0]["download"]["resumed_from"], 4000);
  fs::remove_all(retried);

  // A .part without the record of what it holds is not this download's:
  // it stays as it is, also with --continue.
  WriteFile(out / "x.bin.part", std::string(3000, 'Z'));
  auto [ignored, ignoredJson] = get("norange", {"--continue"});
  EXPECT_EQ(ignored.code, 0) << ignored.err;
  EXPECT_TRUE(ReadFile(out / "x (1).bin") == content);
  EXPECT_EQ(ReadFile(out / "x.bin.part"), std::string(3000, 'Z'));
  EXPECT_EQ(ignoredJson["download"]["resumed_from"], 0);
  EXPECT_EQ(ignoredJson["download"]["sha256"], Sha256Hex(content));

  // An existing file stays; so does an earlier .part (without its record,
  // even with --continue), and a .part that links elsewhere is not followed.
  WriteFile(out / "plain.bin", "mine");
  WriteFile(out / "plain (1).bin.part", content.substr(0, 7));  // from an earlier run
  WriteFile(out / "victim", "precious");
  fs::create_symlink(out / "victim", out / "plain (2).bin.part");
  auto [kept, keptJson] = get("plain", {"-c"});
  EXPECT_EQ(kept.code, 0) << kept.err;
  EXPECT_EQ(keptJson["download"]["path"], (out / "plain (3).bin").string()) << keptJson;
  EXPECT_EQ(ReadFile(out / "plain.bin"), "mine");
  EXPECT_EQ(ReadFile(out / "plain (1).bin.part"), content.substr(0, 7));
  EXPECT_TRUE(ReadFile(out / "plain (3).bin") == content);
  auto [again, againJson] = get("plain", {});
  EXPECT_EQ(againJson["download"]["path"], (out / "plain (4).bin").string()) << againJson;
  EXPECT_EQ(ReadFile(out / "victim"), "precious");
  auto [replaced, replacedJson] = get("plain", {"--overwrite"});
  EXPECT_EQ(replaced.code, 0) << replaced.err;
  EXPECT_TRUE(ReadFile(out / "plain.bin") == content);
  EXPECT_EQ(Listing(out),
            "big.bin,plain (1).bin.part,plain (2).bin.part,plain (3).bin,plain (4).bin,plain.bin,"
            "victim,x (1).bin,x.bin.part");
}

// The folder as name -> bytes, hidden files (the records of .parts) too.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    files[entry.path().filename().string()] = ReadFile(entry.path());
  }
  return files;
}

// Runs of get against one site, each checked for every file of the folder:
// what it made, changed or removed is what the row says, bytes compared by
// SHA-256, and nothing else in the folder changed. A .part is taken up only
// for its link and its file (its record and If-Range prove it); a run never
// writes over its own files; a web page is no file; what was said is said.
TEST(GetCommandTest, KeepsEveryFileWholeAndItsOwn) {
  const std::string kGone = "(gone)", kRecord = "(a .part's record)";
  const std::string a = Pattern(10000, 1), b = Pattern(10000, 2), b2 = Pattern(12000, 3);
  const auto etag = [](const std::string& tag) { return "HEADER ETag: \"" + tag + "\"\n"; };
  const auto named = [](const std::string& name) {
    return "HEADER Content-Disposition: attachment; filename=\"" + name + "\"\n";
  };
  const std::string turn = "\n--next--\n";
  const std::string page = "\xEF\xBB\xBF \r\n<!DOCTYPE html><html><body>Quota exceeded \x1b[31m" +
                           std::string(80, '.') + "</body></html>";
  const std::string zip = std::string("PK\x03\x04", 4) + a;
  struct Link {
    std::string id;    // the file page /f/ID, whose link is {SITE}path
    std::string path;  // its file
    std::string text;  // served there (test_site.h)
  };
  struct Run {
    std::vector<std::string> options;
    std::vector<std::string> ids;  // several: a batch on stdin
    int code;
    std::map<std::string, std::string> changes;    // name -> bytes, kGone or kRecord
    std::string said = {};                         // on stderr
    std::map<std::string, std::string> json = {};  // pointer -> text ({SITE}), of the first line
    std::string ifRange = {};                      // of the site's last request
    bool anyOrder = false;                         // the changes' bytes in any of their names
  };
  struct Row {
    std::string what;
    std::vector<Link> links;
    std::map<std::string, std::string> before;  // in the folder first
    std::vector<Run> runs;
  };
  std::vector<Row> rows = {
      {"a saved file named X.part is no partial download",
       {{"A", "/files/a", named("resumeZ.bin.part") + a},
        {"B", "/files/resumeZ.bin", etag("b") + b}},
       {},
       {{{"-c"}, {"A"}, 0, {{"resumeZ.bin.part_", a}}},
        {{"-c"}, {"B"}, 0, {{"resumeZ.bin", b}}},
        {{"--overwrite"}, {"B"}, 0, {}}}},
      {"a .part of the name without its record is another program's",
       {{"B", "/files/resumeZ.bin", etag("b") + b}},
       {{"resumeZ.bin.part", "mine"}},
       {{{"--overwrite"}, {"B"}, 0, {{"resumeZ (1).bin", b}}},
        {{"-c"}, {"B"}, 0, {{"resumeZ (2).bin", b}}}}},
      {"-c goes on with its own link's .part only",
       {{"A", "/files/resumeA.bin", etag("a") + "CUT 4000\n" + a},
        {"B", "/files/b/resumeA.bin", etag("b") + b}},
       {},
       {{{},
         {"A"},
         8,
         {{"resumeA.bin.part", a.substr(0, 4000)}, {".resumeA.bin.part.velmora", kRecord}},
         "resumeA.bin.part keeps 4000 bytes for --continue"},
        {{"-c"}, {"B"}, 0, {{"resumeA (1).bin", b}}},
        {{"-c"},
         {"A"},
         0,
         {{"resumeA.bin", a}, {"resumeA.bin.part", kGone}, {".resumeA.bin.part.velmora", kGone}},
         "resumed after 4000 bytes",
         {{"/download/resumed_from", "4000"}},
         "\"a\""}}},
      {"the link's file changed since: another ETag",
       {{"V", "/files/v.bin", "TURNS " + etag("v1") + "CUT 4000\n" + a + turn + etag("v2") + b2}},
       {},
       {{{}, {"V"}, 8, {{"v.bin.part", a.substr(0, 4000)}, {".v.bin.part.velmora", kRecord}}},
        {{"-c"}, {"V"}, 0, {{"v (1).bin", b2}}}}},
      {"the file changed between the answer and the Range: If-Range",
       {{"W", "/files/w.bin",
         "TURNS " + etag("v1") + "CUT 4000\n" + a + turn + etag("v1") + a + turn + etag("v2") +
             b2}},
       {},
       {{{}, {"W"}, 8, {{"w.bin.part", a.substr(0, 4000)}, {".w.bin.part.velmora", kRecord}}},
        {{"-c"}, {"W"}, 0, {{"w (1).bin", b2}}, "", {{"/download/resumed_from", "0"}}, "\"v1\""}}},
      {"a 206 of another size",
       {{"T", "/files/t.bin",
         "TURNS " + etag("v1") + "CUT 4000\n" + a + turn + etag("v1") + a + turn + etag("v1") +
             b2}},
       {},
       {{{}, {"T"}, 8, {{"t.bin.part", a.substr(0, 4000)}, {".t.bin.part.velmora", kRecord}}},
        {{"-c"}, {"T"}, 0, {{"t (1).bin", b2}}}}},
      {"no ETag or Last-Modified: nothing proves a .part the same file",
       {{"N", "/files/n.bin", "CUT 4000\n" + a}},
       {},
       {{{},
         {"N"},
         8,
         {{"n.bin.part", a.substr(0, 4000)}, {".n.bin.part.velmora", kRecord}},
         "--continue cannot take it up"},
        {{"-c"},
         {"N"},
         8,
         {{"n (1).bin.part", a.substr(0, 4000)}, {".n (1).bin.part.velmora", kRecord}}}}},
      {"Last-Modified proves it too",
       {{"L", "/files/l.bin",
         "HEADER Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\nCUT 4000\n" + a}},
       {},
       {{{}, {"L"}, 8, {{"l.bin.part", a.substr(0, 4000)}, {".l.bin.part.velmora", kRecord}}},
        {{"-c"},
         {"L"},
         0,
         {{"l.bin", a}, {"l.bin.part", kGone}, {".l.bin.part.velmora", kGone}},
         "",
         {},
         "Tue, 01 Dec 2026 10:00:00 GMT"}}},
      {"within one run its own .part starts over after a 200",
       {{"R", "/files/r.bin", "TURNS " + etag("v1") + "CUT 4000\n" + a + turn + "NORANGE\n" + a}},
       {},
       {{{"--retries", "1"}, {"R"}, 0, {{"r.bin", a}}, "", {}, "\"v1\""}}},
      {"--overwrite replaces an earlier run's files, never the run's own",
       {{"0", "/files/0", named("same.bin") + "DELAY 300\n" + Pattern(3000, 10)},
        {"1", "/files/1", named("same.bin") + "DELAY 300\n" + Pattern(3001, 11)},
        {"2", "/files/2", named("same.bin") + "DELAY 300\n" + Pattern(3002, 12)},
        {"3", "/files/3", named("same.bin") + "DELAY 300\n" + Pattern(3003, 13)},
        {"4", "/files/4", named("same.bin") + "DELAY 300\n" + Pattern(3004, 14)},
        {"5", "/files/5", named("same.bin") + "DELAY 300\n" + Pattern(3005, 15)},
        {"6", "/files/6", named("same.bin") + "DELAY 300\n" + Pattern(3006, 16)},
        {"7", "/files/7", named("same.bin") + "DELAY 300\n" + Pattern(3007, 17)},
        {"8", "/files/8", named("same.bin") + "DELAY 300\n" + Pattern(3008, 18)},
        {"9", "/files/9", named("same.bin") + "DELAY 300\n" + Pattern(3009, 19)}},
       {{"same.bin", "an earlier run's"}},
       {{{"--overwrite", "--jobs", "8"},
         {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
         0,
         {{"same.bin", Pattern(3000, 10)},
          {"same (1).bin", Pattern(3001, 11)},
          {"same (2).bin", Pattern(3002, 12)},
          {"same (3).bin", Pattern(3003, 13)},
          {"same (4).bin", Pattern(3004, 14)},
          {"same (5).bin", Pattern(3005, 15)},
          {"same (6).bin", Pattern(3006, 16)},
          {"same (7).bin", Pattern(3007, 17)},
          {"same (8).bin", Pattern(3008, 18)},
          {"same (9).bin", Pattern(3009, 19)}},
         "",
         {},
         "",
         true}}},
      {"a web page instead of the file",
       {{"Q", "/files/q.zip", "TYPE text/html; charset=utf-8\n" + page},
        {"X", "/files/x.bin", "TYPE application/xhtml+xml\n<?xml version=\"1.0\"?><html/>"}},
       {},
       {{{},
         {"Q"},
         8,
         {},
         "the server sent a web page (text/html; charset=utf-8) instead of the file, starting "
         "\"\\xEF\\xBB\\xBF \\r\\n<!DOCTYPE html><html><body>Quota exceeded \\x1B[31m...",
         {{"/outcome", "download-error"}, {"/download/web_page", page.substr(0, 100)}}},
        {{}, {"X"}, 8, {}, "a web page (application/xhtml+xml)"},
        {{"--accept-web-page"}, {"Q"}, 0, {{"q.zip", page}}}}},
      {"what is no web page, or is meant to be one, is saved",
       {{"H", "/files/h.HTML", page},
        {"Z", "/files/z.zip", zip},
        {"S", "/files/s.txt", "  < 3 is less than 4"}},
       {},
       {{{}, {"H"}, 0, {{"h.HTML", page}}},
        {{}, {"Z"}, 0, {{"z.zip", zip}}},
        {{}, {"S"}, 0, {{"s.txt", "  < 3 is less than 4"}}}}},
  };
  const nlohmann::json schema = SchemaInReadme(ReadFile(VELMORA_HOST_README), "### JSON output");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TestSite site;
    for (const Link& link : row.links) AddFilePage(site, link.id, link.path, link.path, link.text);
    site.Start();
    const auto withSite = [&](std::string text) {
      const size_t at = text.find("{SITE}");
      return at == std::string::npos ? text : text.replace(at, 6, site.Url(""));
    };
    ScratchDir scratch;
    const fs::path out = scratch.path();
    for (const auto& [name, bytes] : row.before) WriteFile(out / name, bytes);
    for (size_t i = 0; i < row.runs.size(); ++i) {
      const Run& run = row.runs[i];
      SCOPED_TRACE("run " + std::to_string(i + 1));
      std::vector<std::string> args = {"get", "--json", "-o", out.string()};
      args.insert(args.end(), run.options.begin(), run.options.end());
      std::string input;
      for (const std::string& id : run.ids) input += site.Url("/f/" + id) + "\n";
      args.push_back(run.ids.size() == 1 ? site.Url("/f/" + run.ids[0]) : "-");
      const std::map<std::string, std::string> before = Snapshot(out);
      const ProcessRun ran = RunHost(args, {.input = input});
      const std::map<std::string, std::string> after = Snapshot(out);
      EXPECT_EQ(ran.code, run.code) << ran.err;
      EXPECT_EQ(PrintableFault(ran.err), "");
      EXPECT_NE(ran.err.find(run.said), std::string::npos) << run.said << "\n" << ran.err;
      const std::vector<nlohmann::json> lines = JsonLines(ran.out);
      ASSERT_EQ(lines.size(), run.ids.size()) << ran.out;
      for (const nlohmann::json& line : lines) EXPECT_EQ(SchemaFault(schema, line, "line"), "");
      for (const auto& [pointer, value] : run.json) {
        const nlohmann::json& got = lines[0].at(nlohmann::json::json_pointer(pointer));
        EXPECT_EQ(got.is_string() ? got.get<std::string>() : got.dump(), withSite(value))
            << pointer;
      }
      if (!run.ifRange.empty()) {
        EXPECT_EQ(site.received().back().ifRange, run.ifRange);
      }
      // Every file but those the run was to change is as it was.
      std::multiset<std::string> made, meant;
      for (const auto& [name, bytes] : run.changes) {
        if (bytes != kRecord && bytes != kGone) meant.insert(Sha256Hex(bytes));
      }
      std::set<std::string> names;
      for (const auto& files : {before, after}) {
        for (const auto& [name, bytes] : files) names.insert(name);
      }
      for (const std::string& name : names) {
        const auto was = before.find(name), is = after.find(name);
        const auto change = run.changes.find(name);
        const std::string now = is == after.end() ? kGone : Sha256Hex(is->second);
        if (change == run.changes.end()) {
          EXPECT_EQ(now, was == before.end() ? kGone : Sha256Hex(was->second)) << name;
        } else if (change->second == kRecord) {
          EXPECT_EQ(is == after.end() ? "" : is->second.substr(0, 15), "velmora-part 1\n") << name;
        } else if (change->second == kGone) {
          EXPECT_EQ(now, kGone) << name;
        } else if (run.anyOrder) {
          made.insert(now);
        } else {
          EXPECT_EQ(now, Sha256Hex(change->second)) << name;
        }
      }
      if (run.anyOrder) {
        EXPECT_TRUE(made == meant) << "each file has its own link's bytes";
      }
    }
  }
}

// The path printed is the real one, so that a script can use it; only a
// folder the user named can hold bytes a terminal would act on, and then
// the path is printed escaped and stderr says so, once.
TEST(GetCommandTest, PrintsThePathOfTheSavedFile) {
  struct Row {
    std::string dir;  // -o, under the scratch folder
    std::vector<std::string> options;
    bool batch;    // two links: URL<TAB>PATH lines
    bool escaped;  // the path printed escaped
  };
  const Row rows[] = {
      {"o_we\\ird", {}, false, false},
      {"o_we\\ird", {}, true, false},
      {"caf\xC3\xA9 \xE2\x82\xAC", {}, false, false},
      {"o\x1b[31m", {}, false, true},
      {"o\x1b[31m", {}, true, true},
      {"o\xFFx", {}, false, true},
      {"o\x1b[31m", {"--json"}, true, true},  // exact in JSON; sentences on stderr escaped
  };
  TestSite site;
  AddFilePage(site, "1", "/files/one.bin", "/files/one.bin", "one");
  AddFilePage(site, "2", "/files/two.bin", "/files/two.bin", "two");
  site.Start();
  const std::string note = "paths are shown escaped";
  for (const Row& row : rows) {
    const std::string what = Shown(row.dir) + (row.batch ? ", batch" : "") +
                             (row.options.empty() ? "" : " " + row.options[0]);
    SCOPED_TRACE(what);
    ScratchDir scratch;
    const fs::path out = scratch.path() / row.dir;
    std::vector<std::string> args = {"get", "-o", out.string()};
    args.insert(args.end(), row.options.begin(), row.options.end());
    args.push_back(site.Url("/f/1"));
    if (row.batch) args.push_back(site.Url("/f/2"));
    const ProcessRun run = RunHost(args);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(PrintableFault(run.err), "");
    EXPECT_EQ(ReadFile(out / "one.bin"), "one");
    const auto printed = [&](const std::string& name) {
      const std::string path = (out / name).string();
      return row.escaped ? Shown(path) : path;
    };
    std::string expected;
    if (row.options.empty()) {
      expected = row.batch ? site.Url("/f/1") + "\t" + printed("one.bin") + "\n" +
                                 site.Url("/f/2") + "\t" + printed("two.bin") + "\n"
                           : printed("one.bin") + "\n";
      EXPECT_EQ(run.out, expected);
    } else {
      const std::vector<nlohmann::json> lines = JsonLines(run.out);
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[0]["download"]["path"], (out / "one.bin").string());
    }
    EXPECT_NE(run.err.find("saved " + printed("one.bin") + " ("), std::string::npos) << run.err;
    const size_t said = run.err.find(note);
    EXPECT_EQ(said != std::string::npos, row.escaped) << run.err;
    if (said != std::string::npos) {
      EXPECT_EQ(run.err.find(note, said + 1), std::string::npos) << "said once";
    }
  }
}

TEST(GetCommandTest, ParallelBatchesComeBackInOrder) {
  constexpr int kLinks = 12;
  TestSite site;
  std::string input;
  std::vector<std::string> contents;
  for (int i = 0; i < kLinks; ++i) {
    const std::string id = std::to_string(i);
    contents.push_back(Pattern(1000 + static_cast<size_t>(i) * 3000, i));
    AddFilePage(site, id, "/files/" + id + ".bin", "/files/" + id + ".bin", contents.back());
    // The first links take longest: they finish last.
    site.pages["/f/" + id] =
        "DELAY " + std::to_string((kLinks - i) * 40) + "\n" + site.pages["/f/" + id];
  }
  site.Start();
  for (int i = 0; i < kLinks; ++i) input += site.Url("/f/" + std::to_string(i)) + "\n";
  input += "not a link\n";
  ScratchDir scratch;
  const ProcessRun run = RunHost(
      {"get", "--jobs", "8", "--json", "-o", scratch.path().string(), "-"}, {.input = input});
  EXPECT_EQ(run.code, 64) << run.err;
  const std::vector<nlohmann::json> lines = JsonLines(run.out);
  ASSERT_EQ(lines.size(), kLinks + 1u) << run.out;
  const nlohmann::json schema = SchemaInReadme(ReadFile(VELMORA_HOST_README), "### JSON output");
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
  const ProcessRun recorded =
      RunHost({"resolve", "--jobs", "8", "--record", rec, "-"}, {.input = input});
  EXPECT_EQ(recorded.code, 64) << recorded.err;
  std::string expected;
  for (int i = 0; i < kLinks; ++i) {
    expected += site.Url("/f/" + std::to_string(i)) +
                "\thttp://127.0.0.1:" + site.Url("").substr(17) + "/files/" + std::to_string(i) +
                ".bin\n";
  }
  EXPECT_EQ(recorded.out, expected + "not%20a%20link\tbad URL\n");
  const ProcessRun replayed = RunHost({"replay", "--jobs", "1", rec});
  EXPECT_EQ(replayed.code, 0) << replayed.err;
  EXPECT_EQ(replayed.out, expected);
  EXPECT_EQ(replayed.err, "");
}

// Under load every diagnostic line leaves whole: lines of 32 jobs at once
// never merge, and none is empty.
TEST(GetCommandTest, StderrLinesStayWholeUnderLoad) {
  constexpr int kLinks = 200;
  TestSite site(160);  // every job keeps its connections open
  std::string input;
  for (int i = 0; i < kLinks; ++i) {
    const std::string id = std::to_string(i);
    AddFilePage(site, id, "/files/" + id + ".bin", "/files/" + id + ".bin",
                "TYPE application/octet-stream\n" + Pattern(64, i));
  }
  site.Start();
  for (int i = 0; i < kLinks; ++i) input += site.Url("/f/" + std::to_string(i)) + "\n";
  ScratchDir scratch;
  const ProcessRun run =
      RunHost({"get", "--jobs", "32", "--trace", "--debug", "--dump-dir",
               (scratch.path() / "dumps").string(), "-o", (scratch.path() / "files").string(), "-"},
              {.input = input});
  EXPECT_EQ(run.code, 0) << run.err.substr(0, 2000);
  // The length of line's leading tag ("[trace #N] ", "[plugin #N] " or
  // "velmora-host: "), or 0.
  const auto tagAt = [](std::string_view line, size_t at) -> size_t {
    if (line.substr(at, 14) == "velmora-host: ") return 14;
    for (const std::string_view open : {"[trace #", "[plugin #"}) {
      if (line.substr(at, open.size()) != open) continue;
      const size_t digits = line.find_first_not_of("0123456789", at + open.size());
      if (digits > at + open.size() && line.substr(digits, 2) == "] ") return digits + 2 - at;
    }
    return 0;
  };
  size_t lines = 0, faults = 0;
  std::set<std::string> writers;  // the tags seen, without their numbers
  std::istringstream err(run.err);
  for (std::string line; std::getline(err, line); ++lines) {
    const size_t tag = tagAt(line, 0);
    bool whole = tag > 0;
    for (size_t at = tag; whole && at < line.size(); ++at) whole = tagAt(line, at) == 0;
    if (whole) writers.insert(line.substr(0, line.find_first_of("#:")));
    if (!whole && ++faults <= 5) ADD_FAILURE() << "line " << lines + 1 << ": \"" << line << "\"";
  }
  EXPECT_EQ(faults, 0u) << "of " << lines << " lines";
  EXPECT_EQ(writers.size(), 3u) << "trace, plugin and messages all wrote";
  EXPECT_GT(lines, 20u * kLinks);
  const fs::directory_iterator files(scratch.path() / "files");
  EXPECT_EQ(std::distance(files, fs::directory_iterator()), kLinks);
}

// The lines of text that are no comment; a torn last line counts.
std::vector<std::string> LinkLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  }
  return lines;
}

// An archive shared by 8 jobs and cut by SIGINT midway holds whole lines
// only, each the link of a file saved complete; the links cut short are
// in the --failed-to file instead. The next run asks the site nothing for
// an archived link and fetches the rest.
TEST(GetCommandTest, AnInterruptedRunLeavesAnArchiveToGoOnFrom) {
  constexpr size_t kLinks = 12, kQuick = 6;
  TestSite site;
  std::vector<std::string> urls, contents;
  std::string input;
  for (size_t i = 0; i < kLinks; ++i) {
    const std::string id = std::to_string(i);
    contents.push_back(Pattern(100, static_cast<int>(i)));
    // The slow ones take 2 s: the signal finds them under way.
    AddFilePage(site, id, "/files/" + id + ".bin", "/files/" + id + ".bin",
                (i < kQuick ? "" : "DRIP 20\n") + contents.back());
  }
  site.Start();
  for (size_t i = 0; i < kLinks; ++i) {
    urls.push_back(site.Url("/f/" + std::to_string(i)));
    input += urls.back() + "\n";
  }
  ScratchDir scratch;
  const fs::path out = scratch.path() / "out", archive = scratch.path() / "done.txt",
                 failed = scratch.path() / "failed.txt";
  WriteFile(archive, "# saved before\n" + urls[0] + "\n");
  WriteFile(scratch.path() / "list", input);
  const std::vector<std::string> args = {"get",
                                         "--jobs",
                                         "8",
                                         "--archive",
                                         archive.string(),
                                         "-o",
                                         out.string(),
                                         "-a",
                                         (scratch.path() / "list").string()};
  std::vector<std::string> first = args;
  first.insert(first.end(), {"--failed-to", failed.string()});
  Process process = StartHost(first);
  for (int i = 0; i < 3000 && LinkLines(ReadFile(archive)).size() < kQuick; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(process.pid, SIGINT);
  const ProcessRun run = FinishProcess(process);
  EXPECT_EQ(run.code, 130) << run.err;
  const std::string text = ReadFile(archive);
  EXPECT_EQ(text.back(), '\n');
  const std::vector<std::string> archived = LinkLines(text), retry = LinkLines(ReadFile(failed));
  EXPECT_GE(archived.size(), kQuick);
  EXPECT_EQ(std::set<std::string>(archived.begin(), archived.end()).size(), archived.size());
  for (size_t i = 1; i < kLinks; ++i) {
    const bool saved = std::find(archived.begin(), archived.end(), urls[i]) != archived.end();
    const bool listed = std::find(retry.begin(), retry.end(), urls[i]) != retry.end();
    EXPECT_NE(saved, listed) << "link " << i << " archived or listed to retry";
    if (saved) {
      EXPECT_TRUE(ReadFile(out / (std::to_string(i) + ".bin")) == contents[i]);
    }
  }
  for (const Received& got : site.received()) EXPECT_NE(got.target, "/f/0") << "archived before";
  EXPECT_NE(run.err.find("skipped " + urls[0] + ": it is in the archive"), std::string::npos)
      << run.err;

  const size_t asked = site.received().size();
  std::vector<std::string> again = args;
  again.push_back("--json");
  const ProcessRun rerun = RunHost(again);
  EXPECT_EQ(rerun.code, 0) << rerun.err;
  const std::vector<nlohmann::json> lines = JsonLines(rerun.out);
  ASSERT_EQ(lines.size(), kLinks);
  const nlohmann::json schema = SchemaInReadme(ReadFile(VELMORA_HOST_README), "### JSON output");
  std::set<std::string> asked2;
  const std::vector<Received> received = site.received();
  for (size_t i = asked; i < received.size(); ++i) asked2.insert(received[i].target);
  for (size_t i = 0; i < kLinks; ++i) {
    SCOPED_TRACE("link " + std::to_string(i));
    EXPECT_EQ(SchemaFault(schema, lines[i], "line"), "");
    const bool wasArchived =
        i == 0 || std::find(archived.begin(), archived.end(), urls[i]) != archived.end();
    EXPECT_EQ(lines[i]["outcome"], wasArchived ? "skipped" : "link");
    EXPECT_EQ(lines[i]["exit_code"], 0);
    EXPECT_EQ(asked2.count("/f/" + std::to_string(i)), wasArchived ? 0u : 1u);
    if (!wasArchived && lines[i].contains("download")) {
      EXPECT_TRUE(ReadFile(lines[i]["download"]["path"].get<std::string>()) == contents[i]);
    }
  }
  EXPECT_EQ(LinkLines(ReadFile(archive)).size(), kLinks);
  // Now every link is skipped: nothing asked, nothing said with -q.
  std::vector<std::string> quiet = args;
  quiet.push_back("-q");
  const ProcessRun skipped = RunHost(quiet);
  EXPECT_EQ(skipped.code, 0) << skipped.err;
  EXPECT_EQ(skipped.err, "");
  EXPECT_EQ(skipped.out.find(urls[0] + "\tskipped (in the archive)\n"), 0u) << skipped.out;
  EXPECT_EQ(site.received().size(), received.size());
}

// An archive that cannot be used is refused before any request; one that
// cannot take a line when a file is saved leaves the file saved and says
// so, and nothing at its place is followed.
TEST(GetCommandTest, AnArchiveProblemIsSaidAndCostsNoFile) {
  struct Row {
    std::string what;
    std::string before;  // "(link)", "(folder)": at the archive's place at the start
    bool swapped;        // replaced by a link to the victim while the link resolves
    int code;
    std::string said;
  };
  const Row rows[] = {
      {"a link at its place", "(link)", false, 66, "is a symbolic link, which is not followed"},
      {"a folder at its place", "(folder)", false, 66, "is a folder, not a file"},
      {"a link put at its place meanwhile", "", true, 73,
       "is a symbolic link, which is not followed; its file stays saved."},
  };
  TestSite site;
  AddFilePage(site, "1", "/files/1.bin", "/files/1.bin", "one");
  site.pages["/f/1"] = "DELAY 500\n" + site.pages["/f/1"];
  site.Start();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDir scratch;
    const fs::path archive = scratch.path() / "done.txt", out = scratch.path() / "out";
    WriteFile(scratch.path() / "victim", "precious");
    if (row.before == "(link)") fs::create_symlink(scratch.path() / "victim", archive);
    if (row.before == "(folder)") fs::create_directory(archive);
    const size_t asked = site.received().size();
    Process process = StartHost(
        {"get", "--json", "--archive", archive.string(), "-o", out.string(), site.Url("/f/1")});
    if (row.swapped) {
      for (int i = 0; i < 3000 && site.received().size() == asked; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      fs::create_symlink(scratch.path() / "victim", archive);
    }
    const ProcessRun run = FinishProcess(process);
    EXPECT_EQ(run.code, row.code) << run.err;
    EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(scratch.path() / "victim"), "precious");
    if (!row.swapped) {
      EXPECT_EQ(site.received().size(), asked) << "nothing asked";
      EXPECT_FALSE(fs::exists(out));
      continue;
    }
    EXPECT_EQ(ReadFile(out / "1.bin"), "one");
    const std::vector<nlohmann::json> lines = JsonLines(run.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["outcome"], "link");
    EXPECT_NE(lines[0].value("archive_error", "").find("symbolic link"), std::string::npos);
    EXPECT_EQ(SchemaFault(SchemaInReadme(ReadFile(VELMORA_HOST_README), "### JSON output"),
                          lines[0], "line"),
              "");
  }
}

}  // namespace
