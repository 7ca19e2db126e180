// Differential test: the production text work against the literal
// reference, on random and mutated pages and answers. The seed is fixed, so
// a failure names a case that can be replayed. Then the rules of the
// reference's own copying primitives.
#include "testing/literal_reference.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/plugin_api.h"
#include "resolve/link_resolver.h"
#include "resolve/text_primitives.h"
#include "testing/scan_form.h"
#include "testing/text_maker.h"

namespace velmora {
namespace {

using namespace std::string_literals;
using testing::TextMaker;

constexpr std::uint32_t kSeed = 20240605;

// Serves one page and one answer to either side and records every call.
class RecordingHost final : public ResolverHost, public literal::Host {
 public:
  RecordingHost(const std::string& page, const std::string& answer)
      : page_(page), answer_(answer) {}

  void GetPage(std::string& page) override {
    calls.push_back("getPage");
    page = page_;
  }
  literal::Text GetPage() override {
    calls.push_back("getPage");
    return page_;
  }
  void PostForm(const std::string& url, const std::string& params, std::string& answer) override {
    answer = PostForm(url, params);
  }
  literal::Text PostForm(const literal::Text& url, const literal::Text& params) override {
    calls.push_back("postForm " + url + " | " + params);
    return answer_;
  }
  void Log(const std::string& message) override { calls.push_back("log " + message); }
  void SaveFile(const std::string& path, const std::string& content) override {
    calls.push_back("saveFile " + path + " | " + content);
  }

  std::vector<std::string> calls;

 private:
  const std::string& page_;
  const std::string& answer_;
};

Verdict VerdictOf(literal::Kind kind) {
  switch (kind) {
    case literal::Kind::kNotFound: return Verdict::kNotFound;
    case literal::Kind::kDeleted: return Verdict::kDeleted;
    case literal::Kind::kLink: return Verdict::kLink;
    case literal::Kind::kEmpty: break;
  }
  return Verdict::kNoLink;
}

void ExpectSameScan(const std::string& page, int round) {
  std::string action = "<unset>";
  std::string params = "stale";
  testing::ScanForm(page, action, params);
  literal::Text literalAction = "<unset>";
  const literal::Text literalParams = literal::ScanForm(page, literalAction);
  ASSERT_EQ(action, literalAction) << "round " << round;
  ASSERT_EQ(params, literalParams) << "round " << round;
}

void ExpectSameRequest(const std::string& page, const std::string& answer, bool debug,
                       const std::string& dumpDir, int round) {
  RecordingHost host(page, answer);
  RequestBuffers buffers;
  buffers.formAction = "stale";
  const Resolution resolution =
      ResolveDirectLink(host, {debug, dumpDir, VELMORA_DUMP_FILE_NAME}, buffers);

  RecordingHost literalHost(page, answer);
  literal::State state{debug, dumpDir, "stale"};
  const literal::Result expected =
      literal::ResolveDirectLink(literalHost, state, SystemLeadBytes());

  ASSERT_EQ(resolution.verdict, VerdictOf(expected.kind)) << "round " << round;
  ASSERT_EQ(std::string(resolution.link), expected.link) << "round " << round;
  ASSERT_EQ(buffers.formAction, state.formAction) << "round " << round;
  ASSERT_EQ(host.calls, literalHost.calls) << "round " << round;
}

TEST(LiteralReferenceTest, ScannerAndResolverMatchOnRandomInput) {
  TextMaker maker(kSeed);
  const std::string dumpDirs[] = {"", "C:\\dumps\\", "d"};
  for (int round = 0; round < 6000; ++round) {
    std::string page;
    std::string answer;
    maker.Case(round, page, answer);
    ExpectSameScan(page, round);
    if (::testing::Test::HasFatalFailure()) return;
    const bool debug = maker.OneIn(2);
    ExpectSameRequest(page, answer, debug, dumpDirs[maker.Below(3)], round);
    if (::testing::Test::HasFatalFailure()) return;  // one replayable case is enough
  }
}

TEST(LiteralReferenceTest, PrimitivesMatchOnRandomInput) {
  TextMaker maker(kSeed + 1);
  const std::string alphabet = std::string("ab\r\n\x81\x82", 6) + std::string(1, '\0');
  auto randomText = [&](std::size_t most) {
    std::string text(maker.Below(most + 1), ' ');
    for (char& byte : text) byte = alphabet[maker.Below(alphabet.size())];
    return text;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::string s = randomText(12);
    const std::string sub = randomText(3);
    ASSERT_EQ(literal::ToPosition(FindFrom(s, sub)), literal::TextFind(sub, s))
        << "round " << round;

    LeadByteSet leadBytes;
    if (!maker.OneIn(3)) leadBytes.AddRange(0x81, 0x82);
    if (maker.OneIn(4)) leadBytes.AddRange('a', 'a');
    const std::string delims = maker.OneIn(3) ? "\n" : "\n\x82";
    ASSERT_EQ(TextLastDelimiter(delims, s, leadBytes),
              static_cast<std::size_t>(literal::TextLastDelimiter(delims, s, leadBytes)))
        << "round " << round;

    std::string lines;
    ForEachLine(s, [&](std::string_view line) { lines.append(line).append("\r\n"); });
    literal::LineList literalLines;
    literalLines.SetText(s);
    ASSERT_EQ(lines, literalLines.GetText()) << "round " << round;
  }
}

// The literal reference's own rules, which the differential test relies on.
TEST(LiteralTextCopyTest, Rows) {
  using literal::kToEnd;
  struct Row {
    std::int64_t index, count;
    std::string expected;
  };
  const Row rows[] = {
      {0, 2, "ab"},     {-5, 3, "abc"},  {6, 5, "f"},         {7, 1, ""},
      {2, -1, ""},      {1, 0, ""},      {3, kToEnd, "cdef"}, {1, kToEnd, "abcdef"},
      {6, kToEnd, "f"}, {7, kToEnd, ""}, {INT64_MIN, 1, "a"}, {1, INT64_MAX, "abcdef"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(literal::TextCopy("abcdef", row.index, row.count), row.expected)
        << "from " << row.index << " for " << row.count;
  }
  EXPECT_EQ(literal::TextCopy("", 1, 1), "");
}

TEST(LiteralLineListTest, GetTextEndsEveryLineWithCrLf) {
  literal::LineList list;
  EXPECT_EQ(list.GetText(), "");
  list.Add("a");
  list.Add("b");
  list.Add("");
  EXPECT_EQ(list.GetText(), "a\r\nb\r\n\r\n");
  list.SetText("x\ny\rz\n\rq\0tail"s);  // SetText then GetText normalises the breaks
  EXPECT_EQ(list.GetText(), "x\r\ny\r\nz\r\n\r\nq\r\n");
}

TEST(LiteralLineListTest, DeleteMovesLaterLinesDown) {
  literal::LineList list;
  list.SetText("a\nb\nc\nd");
  list.Delete(1);
  EXPECT_EQ(list.GetText(), "a\r\nc\r\nd\r\n");
  list.Delete(1);
  EXPECT_EQ(list.GetText(), "a\r\nd\r\n");
  list.Add("e");
  EXPECT_EQ(list.Get(2), "e");
}

TEST(LiteralLineListTest, IndexOutOfBoundsIsReported) {
  literal::LineList list;
  list.Add("only");
  for (int index : {-1, 1, 7, std::numeric_limits<int>::min()}) {
    const std::string expected = "List index out of bounds (" + std::to_string(index) + ")";
    try {
      list.Get(index);
      ADD_FAILURE() << "Get(" << index << ") did not throw";
    } catch (const std::out_of_range& error) {
      EXPECT_EQ(error.what(), expected);
    }
    EXPECT_THROW(list.Delete(index), std::out_of_range);
  }
  EXPECT_EQ(list.Count(), 1);
}

TEST(LiteralReferenceTest, LongAndAdversarialForms) {
  // Few rounds, large texts: action lengths around the limit and many inputs.
  for (std::size_t actionLength : {0, 255, 256}) {
    for (const char* tag : {"<INPUT VALUE=\"v\">", "<INPUT NAME=\"n\">", "<INPUT>",
                            "<INPUT NAME=\"p\" VALUE=\"PreMium\">"}) {
      std::string page = "<FORM ACTION=\"" + std::string(actionLength, 'u') + "\">";
      for (int i = 0; i < 2000; ++i) page += tag;
      page += "<INPUT NAME=\"last\"></FORM>";
      ExpectSameScan(page, static_cast<int>(actionLength));
      ExpectSameRequest(page, "Your download link HREF=\"x\"", true, "", 0);
    }
  }
}

}  // namespace
}  // namespace velmora
