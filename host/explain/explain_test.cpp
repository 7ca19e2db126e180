// velmora-host explain: one row per rule and per near miss, and the
// agreement of its verdict with the loaded plugin on every generated case.
#include "host/explain/explain.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "host/explain/explain_output.h"
#include "host/net/form_encoding.h"
#include "testing/host_process.h"
#include "testing/plugin_loader.h"
#include "testing/text_maker.h"

namespace velmora::host {
namespace {

namespace fs = std::filesystem;

const std::string kAnswer =
    "<P>Your download link:</P>\n<A HREF=\"http://dl.example/f.zip\">go</A>\n";

std::string Form(const std::string& inputs) {
  return "<HTML>\n<FORM METHOD=\"POST\" ACTION=\"/dl\">\n" + inputs + "</FORM>\n";
}
const std::string kPage = Form("<INPUT NAME=\"id\" VALUE=\"42\">\n");

// failedStep and failureAt (an anchor found in the text the failure is in;
// null: no offset); a hint or field note of that kind, at its anchor (null:
// not checked). No kind: the road has no hint at all.
struct Row {
  const char* what;
  std::string page;
  std::string answer;
  const char* failedStep;
  const char* failureAt;
  const char* kind;
  const char* kindAt;
};

TEST(ExplainTest, NamesTheFailedStepItsOffsetAndTheNearMiss) {
  const std::string action255 = std::string(255, 'u'), action256 = std::string(256, 'u');
  const Row rows[] = {
      {"empty page", "", kAnswer, "page", nullptr, nullptr, nullptr},
      {"form in lower case", "<form ACTION=\"/dl\"><INPUT NAME=\"a\"></FORM>", kAnswer, "form",
       nullptr, "letter-case", "<form"},
      {"closing marker in lower case", "<FORM ACTION=\"/dl\"><INPUT NAME=\"a\"></form>", kAnswer,
       "formEnd", "<FORM", "letter-case", "</form"},
      {"first form unclosed: the second's end closes it",
       "<FORM ACTION=\"/a\"><INPUT NAME=\"a\">\n<FORM ACTION=\"/b\"><INPUT NAME=\"b\"></FORM>",
       kAnswer, nullptr, nullptr, "second-form", "<FORM ACTION=\"/b\""},
      {"action in single quotes", "<FORM ACTION='/dl'><INPUT NAME=\"a\"></FORM>", kAnswer, "action",
       "<FORM", "single-quote", "ACTION='"},
      {"blanks around =", "<FORM ACTION = \"/dl\"><INPUT NAME=\"a\"></FORM>", kAnswer, "action",
       "<FORM", "spaces", "ACTION ="},
      {"action in lower case", "<FORM action=\"/dl\"><INPUT NAME=\"a\"></FORM>", kAnswer, "action",
       "<FORM", "letter-case", "action="},
      {"action of 256 bytes", "<FORM ACTION=\"" + action256 + "\"><INPUT NAME=\"a\"></FORM>",
       kAnswer, "action", "ACTION", "over-limit", "\"><INPUT"},
      {"action of 255 bytes", "<FORM ACTION=\"" + action255 + "\"><INPUT NAME=\"a\"></FORM>",
       kAnswer, nullptr, nullptr, nullptr, nullptr},
      {"action never closed", "<FORM ACTION=\"/dl></FORM>", kAnswer, "action", "ACTION", nullptr,
       nullptr},
      {"action only in a second form",
       "<FORM METHOD=\"POST\"><INPUT NAME=\"a\"></FORM><FORM ACTION=\"/b\"></FORM>", kAnswer,
       "action", "<FORM", "second-form", "<FORM ACTION"},
      {"inputs in lower case", "<FORM ACTION=\"/dl\"><input name=\"a\"></FORM>", kAnswer, "fields",
       "<FORM", "letter-case", "<input"},
      {"names in single quotes", "<FORM ACTION=\"/dl\"><INPUT NAME='a'></FORM>", kAnswer, "fields",
       "<INPUT", "single-quote", "NAME='"},
      {"name borrowed from a later tag",
       Form("<INPUT VALUE=\"Go\"><INPUT NAME=\"id\" VALUE=\"42\">"), kAnswer, nullptr, nullptr,
       "borrowed-name", nullptr},
      {"FILENAME taken for the name", Form("<INPUT FILENAME=\"f.zip\">"), kAnswer, nullptr, nullptr,
       "name-suffix", nullptr},
      {"value cut by a missing quote",
       Form("<INPUT NAME=\"a\" VALUE=\"x><INPUT NAME=\"b\" VALUE=\"y\">"), kAnswer, nullptr,
       nullptr, "runs-on-value", nullptr},
      {"line break in a value", Form("<INPUT NAME=\"a\" VALUE=\"1\r\n2\">"), kAnswer, nullptr,
       nullptr, "line-break", nullptr},
      {"every line premium: the POST carries none", Form("<INPUT NAME=\"t\" VALUE=\"Premium\">"),
       "Invalid download link</b></p>", nullptr, nullptr, nullptr, nullptr},
      {"empty answer", kPage, "", "answer", nullptr, nullptr, nullptr},
      {"marker in another letter case", kPage, "Your Download Link <A HREF=\"x\">", "answer",
       nullptr, "letter-case", "Your Download"},
      {"invalid-link marker without its tags", kPage, "<b>Invalid download link</b>", "answer",
       nullptr, "incomplete-marker", "Invalid"},
      {"faulty link", kPage, "Fehlerhafter Downloadlink", nullptr, nullptr, nullptr, nullptr},
      {"href in lower case", kPage, "x\nYour download link <a href=\"http://d/f\">", "link",
       "\nYour", "letter-case", "href="},
      {"HREF in single quotes", kPage, "Your download link <A HREF='http://d/f'>", "link", "Your",
       "single-quote", "HREF='"},
      {"HREF on the line before the marker", kPage, "<A HREF=\"http://d/f\">\nYour download link",
       "link", "\nYour", "href-before-marker", "HREF"},
      {"link without its closing quote", kPage, "Your download link HREF=\"http://d/f", "link",
       "HREF", nullptr, nullptr},
      {"empty link", kPage, "Your download link HREF=\"\"", "link", "HREF", nullptr, nullptr},
      {"a link", kPage, kAnswer, nullptr, nullptr, nullptr, nullptr},
      {"a link that is a marker", kPage, "Your download link <A HREF=\"%deleted%\">", nullptr,
       nullptr, "marker-as-link", "HREF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Road road = ExplainTexts(row.page, row.answer);
    const auto textOf = [&](Where in) -> const std::string& {
      return in == Where::kPage ? road.page : road.answer;
    };
    ASSERT_EQ(road.failedStep ? StepName(*road.failedStep) : "null",
              std::string(row.failedStep ? row.failedStep : "null"));
    if (row.failedStep) {
      EXPECT_EQ(road.failureAt,
                row.failureAt ? textOf(road.failureIn).find(row.failureAt) : kNowhere);
      EXPECT_FALSE(road.failure.empty());
    }
    if (row.kind == nullptr) {
      EXPECT_TRUE(road.hints.empty()) << road.hints.front().message;
      continue;
    }
    bool found = false;
    for (const Hint& hint : road.hints) {
      if (hint.kind != row.kind) continue;
      found = true;
      if (row.kindAt) {
        EXPECT_EQ(hint.offset, textOf(hint.in).find(row.kindAt)) << hint.message;
      }
    }
    for (const FieldRoad& field : road.fields) {
      for (const FieldNote& note : field.notes) found |= note.kind == row.kind;
    }
    EXPECT_TRUE(found) << "no " << row.kind;
  }
}

TEST(ExplainTest, DisagreementIsNamed) {
  const Road road = ExplainTexts(kPage, kAnswer);
  const std::string body = EncodeFormBody("id=42\r\n");
  EXPECT_EQ(Disagreement(road, {"http://dl.example/f.zip", true, body}), "");
  EXPECT_NE(Disagreement(road, {"", true, body}), "");
  EXPECT_NE(Disagreement(road, {"http://dl.example/f.zip", false, ""}), "");
  EXPECT_NE(Disagreement(road, {"http://dl.example/f.zip", true, "id=43"}), "");
}

// What the loaded plugin does with one page and answer.
struct Served {
  std::string page;
  std::string answer;
  bool posted = false;
  std::string params;
} g_served;

HostText VELMORA_CALL ServePage(const void*) { return g_served.page.c_str(); }
HostText VELMORA_CALL ServeAnswer(HostText, HostText params) {
  g_served.posted = true;
  g_served.params = params != nullptr ? params : "";
  return g_served.answer.c_str();
}
void VELMORA_CALL Ignore(HostText) {}
void VELMORA_CALL IgnoreFile(HostText, HostText) {}

class ExplainAgreementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(plugin_.Load());
    plugin_.init(ServePage, ServeAnswer, Ignore, 7, IgnoreFile, 0, "");
  }
  void TearDown() override { plugin_.destroy(); }

  // The road's verdict and POST against the plugin's; a failed step exactly
  // when there is no usable link or site verdict; the text fitted and escaped.
  void ExpectAgreement(const std::string& page, const std::string& answer,
                       const std::string& what) {
    g_served = {page, answer, false, {}};
    const std::string result = plugin_.getDirectLink("http://site.example/f/1");
    Explained explained;
    explained.road = ExplainTexts(page, answer);
    const Road& road = explained.road;
    ASSERT_EQ(Disagreement(road, {result, g_served.posted, EncodeFormBody(g_served.params)}), "")
        << what;
    const bool decided = (road.verdict == Verdict::kLink && !road.link.empty()) ||
                         road.verdict == Verdict::kNotFound || road.verdict == Verdict::kDeleted;
    ASSERT_NE(road.failedStep.has_value(), decided) << what;
    const auto size = [&](Where in) {
      return (in == Where::kPage ? road.page : road.answer).size();
    };
    if (road.failedStep && road.failureAt != kNowhere) {
      ASSERT_LE(road.failureAt, size(road.failureIn)) << what;
    }
    for (const Hint& hint : road.hints) ASSERT_LE(hint.offset + hint.length, size(hint.in)) << what;
    explained.report.url = "http://site.example/f/1";
    explained.compared = true;
    ASSERT_EQ(velmora::testing::PrintableFault(ExplainedText(explained, {60, false}), 60), "")
        << what;
  }

  velmora::testing::PluginLibrary plugin_{VELMORA_PLUGIN_PATH};
};

TEST_F(ExplainAgreementTest, OnTheFuzzCorpus) {
  size_t files = 0;
  for (const char* kind : {"request", "scanner"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(VELMORA_FUZZ_CORPUS) / kind)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string data((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
      ++files;
      if (std::string(kind) == "scanner") {
        ExpectAgreement(data, kAnswer, entry.path().string());
        continue;
      }
      // A settings byte, the page, a NUL, the answer.
      const std::string rest = data.empty() ? std::string() : data.substr(1);
      const size_t split = rest.find('\0');
      ExpectAgreement(rest.substr(0, split),
                      split == std::string::npos ? std::string() : rest.substr(split + 1),
                      entry.path().string());
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(files, 10u);
}

TEST_F(ExplainAgreementTest, OnTheDifferentialTestsRandomCases) {
  // The rounds of LiteralReferenceTest.ScannerAndResolverMatchOnRandomInput.
  velmora::testing::TextMaker maker(20240605);
  for (int round = 0; round < 6000; ++round) {
    std::string page, answer;
    maker.Case(round, page, answer);
    maker.OneIn(2);
    maker.Below(3);
    ExpectAgreement(page, answer, "round " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
}

TEST(ExplainTest, ExcerptsAreEscapedAndFitted) {
  const std::string text =
      std::string(300, 'a') + "\x1b[31m<form>\r\n\xE2\x80\xAE" + std::string(300, 'b');
  const size_t at = text.find("<form");
  const std::string excerpt = Excerpt(text, at, 5, 40, false, "");
  EXPECT_EQ(velmora::testing::PrintableFault(excerpt, 40), "") << excerpt;
  const size_t lineEnd = excerpt.find('\n');
  const size_t column = excerpt.find('^', lineEnd) - lineEnd - 1;
  EXPECT_EQ(excerpt.substr(column, 5), "<form") << excerpt;
  EXPECT_NE(excerpt.find("\\x1B[31m"), std::string::npos) << excerpt;
  EXPECT_NE(excerpt.find("\\xE2\\x80\\xAE"), std::string::npos) << excerpt;
}

}  // namespace
}  // namespace velmora::host
