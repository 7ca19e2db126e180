// velmora-host explain as a script runs it: from recordings made in a
// scratch folder, its JSON and its exit codes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "host/explain/explain.h"
#include "host/net/form_encoding.h"
#include "testing/host_process.h"
#include "testing/json_schema.h"
#include "testing/test_site.h"

namespace velmora::host {
namespace {

using namespace velmora::testing;

const std::string kAnswer =
    "<P>Your download link:</P>\n<A HREF=\"http://dl.example/f.zip\">go</A>\n";
const std::string kPage = FormPage("/dl", "<INPUT NAME=\"id\" VALUE=\"42\">\n");

class ExplainCommandTest : public ::testing::Test {
 protected:
  // A recording of one link per (page, answer); the POST body is the one
  // the plugin will send.
  fs::path Record(const std::string& name,
                  const std::vector<std::pair<std::string, std::string>>& links) {
    const fs::path folder = dir_.path() / name;
    fs::create_directory(folder);
    std::string manifest = "velmora-recording\t2\n";
    int n = 0;
    for (size_t i = 0; i < links.size(); ++i) {
      const std::string url = "http://site.example/f/" + std::to_string(i + 1);
      char get[16], post[16];
      std::snprintf(get, sizeof get, "%03d", ++n);
      std::snprintf(post, sizeof post, "%03d", ++n);
      std::ofstream(folder / (std::string(get) + "-response.html"), std::ios::binary)
          << links[i].first;
      std::ofstream(folder / (std::string(post) + "-response.html"), std::ios::binary)
          << links[i].second;
      const Road road = ExplainTexts(links[i].first, links[i].second);
      std::ofstream(folder / (std::string(post) + "-request.txt"), std::ios::binary)
          << EncodeFormBody(road.params);
      manifest += "link\t" + url + "\nexchange\tGET\t" + url + "\t-\t200\t" + url + "\t" + get +
                  "-response.html\t-\t0\t1\n";
      if (road.posted) {
        manifest += "exchange\tPOST\thttp://site.example/dl\t" + std::string(post) +
                    "-request.txt\t200\thttp://site.example/dl\t" + post +
                    "-response.html\t-\t0\t1\n";
      }
    }
    std::ofstream(folder / "manifest.tsv", std::ios::binary) << manifest;
    return folder;
  }

  int Run(std::vector<std::string> args, std::string& out, std::string& err) {
    args.insert(args.begin(), "explain");
    ProcessRun run = RunHost(args);
    out = std::move(run.out);
    err = std::move(run.err);
    return run.code;
  }

  ScratchDir dir_;
};

TEST_F(ExplainCommandTest, JsonFollowsTheDocumentedSchemaAndExitCodes) {
  const nlohmann::json schema = SchemaInReadme(ReadFile(VELMORA_HOST_README), "### explain JSON");
  const std::string hostile =
      FormPage("/dl", "<INPUT NAME=\"a\x1b[2J\" VALUE=\"\xE2\x80\xAE\xFF\">");
  struct {
    std::string page, answer;
    int code;
    const char* failedStep;
  } const rows[] = {
      {kPage, kAnswer, 0, nullptr},
      {"<form ACTION=\"/dl\"></form>", kAnswer, 1, "form"},
      {hostile, "Your download link <a href=\"x\x1b]0;t\x07\">", 1, "link"},
      {kPage, "Invalid download link</b></p>", 2, nullptr},
      {kPage, "Your download link HREF=\"file:///etc/passwd\"", 6, "link"},
      {kPage, "Your download link <A HREF=\"%notfound%\">", 2, nullptr},  // as resolve reads it
      {kPage, "Your download link <A HREF=\"%deleted%\">", 3, nullptr},
  };
  for (const auto& row : rows) {
    const fs::path recording = Record("r" + std::to_string(&row - rows), {{row.page, row.answer}});
    std::string out, err;
    EXPECT_EQ(Run({"--json", "--recording", recording.string()}, out, err), row.code) << err;
    const nlohmann::json document = nlohmann::json::parse(out);
    EXPECT_EQ(SchemaFault(schema, document, "explain"), "") << out;
    EXPECT_EQ(document["failedStep"],
              row.failedStep ? nlohmann::json(row.failedStep) : nlohmann::json())
        << out;
    EXPECT_EQ(document["agrees"], true) << out;
    for (const std::string& text : {out, err}) {
      EXPECT_EQ(PrintableFault(text, 100000), "") << text;
    }
    EXPECT_EQ(Run({"--recording", recording.string()}, out, err), row.code) << err;
    EXPECT_EQ(PrintableFault(out, 100), "") << out;
  }
  const fs::path two = Record("two", {{kPage, kAnswer}, {kPage, ""}});
  std::string out, err;
  EXPECT_EQ(Run({"--recording", two.string()}, out, err), 64) << err;
  EXPECT_NE(err.find(":\n  http://site.example/f/1\n  http://site.example/f/2\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(Run({"--recording", two.string(), "http://site.example/f/2"}, out, err), 1) << err;
  EXPECT_EQ(Run({"--recording", two.string(), "http://site.example/f/9"}, out, err), 66) << err;
  EXPECT_EQ(Run({"--recording", (dir_.path() / "none").string()}, out, err), 66) << err;
  EXPECT_EQ(Run({}, out, err), 64) << err;
  EXPECT_EQ(Run({"not-a-url"}, out, err), 64) << err;
}

}  // namespace
}  // namespace velmora::host
