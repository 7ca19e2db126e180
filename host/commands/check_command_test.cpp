// velmora-host check: links resolved on a test site on 127.0.0.1, then their
// direct links asked what they would deliver, with nothing downloaded.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "testing/host_process.h"
#include "testing/json_schema.h"
#include "testing/test_site.h"

namespace {

using namespace velmora::testing;

// velmora-host run in dir, so that whatever it would create there shows.
ProcessRun RunHostIn(const fs::path& dir, const std::vector<std::string>& args,
                     const ProcessIo& io = {}) {
  std::vector<std::string> command = {"-c", "cd \"$0\" && exec \"$@\"", dir.string(), HostPath()};
  command.insert(command.end(), args.begin(), args.end());
  return RunProcess("/bin/sh", command, io);
}

TEST(CheckCommandTest, AsksTheFileWithoutDownloadingIt) {
  struct Row {
    std::string what;
    std::string answer;  // to the form's POST
    std::string file;    // served at /files/ID.zip; empty: none
    int code;
    std::string result;          // the line's fields after the URL, without the final URL
    bool ranged;                 // the file was asked for its first byte (HEAD not enough)
    std::string elsewhere = {};  // the direct link, when not on the site
  };
  const std::string link = "Your download link: <A HREF=\"http://127.0.0.1:{PORT}/files/";
  const std::string refused = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/7.zip";
  const Row rows[] = {
      {"available", link + "1.zip\">",
       "HEADER Content-Disposition: attachment; filename=\"report 1.pdf\"\n"
       "TYPE application/pdf\n%PDF-1.7 twenty byte",
       0, "link\treport 1.pdf\t20\tapplication/pdf", false},
      {"missing", link + "2.zip\">", "", 10, "file unavailable\t2.zip\tunknown\t-", true},
      {"a web page", link + "3.zip\">", "<html>Quota exceeded</html>", 10,
       "file unavailable\t3.zip\t27\ttext/html", false},
      {"HEAD refused", link + "4.zip\">", "NOHEAD\nTYPE application/zip\nPK\x03\x04 of 10", 0,
       "link\t4.zip\t10\tapplication/zip", true},
      {"no size anywhere", link + "5.zip\">", "NORANGE\nPK\x03\x04 unsized", 0,
       "link\t5.zip\tunknown\tapplication/octet-stream", true},
      {"invalid link", "<b>Invalid download link</b></p>", "", 2, "invalid link\t-\tunknown\t-",
       false},
      {"no server", "Your download link: <A HREF=\"" + refused + "\">", "", 4,
       "transfer error\t-\tunknown\t-", true, refused},
  };
  TestSite site;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const std::string id = std::to_string(i + 1);
    site.pages["/f/" + id] = FormPage("/dl/" + id, "<INPUT NAME=\"id\" VALUE=\"" + id + "\">\n");
    site.answers["/dl/" + id] = rows[i].answer;
    if (!rows[i].file.empty()) site.pages["/files/" + id + ".zip"] = rows[i].file;
  }
  site.Start();
  ScratchDir scratch;
  std::string batch;
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const std::string id = std::to_string(i + 1);
    batch += site.Url("/f/" + id) + "\n";
    const size_t before = site.received().size();
    const ProcessRun run = RunHostIn(scratch.path(), {"check", site.Url("/f/" + id)});
    EXPECT_EQ(run.code, row.code) << row.what << ": " << run.err;
    const std::string finalUrl = row.code == 2            ? "-"
                                 : !row.elsewhere.empty() ? row.elsewhere
                                                          : site.Url("/files/" + id + ".zip");
    EXPECT_EQ(run.out, site.Url("/f/" + id) + "\t" + row.result + "\t" + finalUrl + "\n")
        << row.what << ": " << run.err;
    EXPECT_EQ(PrintableFault(run.err), "") << row.what;
    std::vector<Received> file;
    for (size_t at = before; at < site.received().size(); ++at) {
      const Received got = site.received()[at];
      if (got.target.rfind("/files/", 0) == 0) file.push_back(got);
    }
    if (row.code == 2 || !row.elsewhere.empty()) {
      EXPECT_TRUE(file.empty()) << row.what;
      continue;
    }
    // A HEAD as get's download would be sent: the page's cookies, the answer page as referrer.
    ASSERT_EQ(file.size(), row.ranged ? 2u : 1u) << row.what;
    EXPECT_EQ(file[0].method, "HEAD") << row.what;
    EXPECT_EQ(file[0].cookie, "sid=s3ss10n") << row.what;
    EXPECT_EQ(file[0].referer, site.Url("/dl/" + id)) << row.what;
    if (row.ranged) {
      EXPECT_EQ(file[1].method, "GET") << row.what;
      EXPECT_EQ(file[1].range, "bytes=0-0") << row.what;
    }
  }

  // All at once: in input order, each JSON line as documented, the worst code.
  const ProcessRun run =
      RunHostIn(scratch.path(), {"check", "--json", "--jobs", "4", "-a", "-"}, {.input = batch});
  EXPECT_EQ(run.code, 10) << run.err;
  const nlohmann::json schema = SchemaInReadme(ReadFile(VELMORA_HOST_README), "### JSON output");
  size_t count = 0, start = 0;
  for (size_t end; (end = run.out.find('\n', start)) != std::string::npos; start = end + 1) {
    const nlohmann::json line = nlohmann::json::parse(run.out.substr(start, end - start));
    ASSERT_LT(count, std::size(rows)) << run.out;
    const Row& row = rows[count++];
    EXPECT_EQ(SchemaFault(schema, line, "line " + std::to_string(count)), "");
    EXPECT_EQ(line["line"], count) << line;
    EXPECT_EQ(line["exit_code"], row.code) << line;
    if (row.code == 2) {
      EXPECT_FALSE(line.contains("check")) << line;
    } else {
      EXPECT_EQ(line["check"]["method"], row.ranged ? "GET" : "HEAD") << line;
    }
  }
  EXPECT_EQ(count, std::size(rows)) << run.out;
  EXPECT_TRUE(fs::is_empty(scratch.path()));
}

}  // namespace
