#include "resolve/text_primitives.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

using namespace std::string_literals;

TEST(FindFromTest, Rows) {
  struct Row {
    std::string s, needle;
    std::size_t offset;
  };
  const Row rows[] = {
      {"xxab", "ab", 2},    {"", "ab", kNpos},   {"ab", "", kNpos},    {"", "", kNpos},
      {"ab", "abc", kNpos}, {"ab", "AB", kNpos}, {"aaa", "a", 0},      {"aaab", "aab", 1},
      {"ab", "b", 1},       {"ab", "ab", 0},     {"a\0b"s, "\0b"s, 1}, {"ab", "ba", kNpos},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(FindFrom(row.s, row.needle), row.offset) << row.needle << " in " << row.s;
  }
}

// Texts dense with the needle's first byte, where FindFrom gives up jumping
// between first bytes and skips instead; std::string_view::find is the oracle.
TEST(FindFromTest, DenseTextsAgreeWithPlainSearch) {
  struct Row {
    std::string s, needle;
  };
  const std::string lt(5000, '<');
  const std::string as(3000, 'a');
  const Row rows[] = {
      {lt, "<FORM"},
      {lt + "<FORM", "<FORM"},
      {lt + "<FOR", "<FORM"},
      {lt + "<FORM" + lt + "<FORM", "<FORM"},
      {as + "b", "aab"},
      {as + "ab" + as, "aab"},
      {as, "ba"},
      {std::string(4000, 'Y') + "Your download link", "Your download link"},
      {"x" + lt + "x", "<<x"},
      {lt, "<"},
  };
  for (const Row& row : rows) {
    for (std::size_t from : {std::size_t{0}, std::size_t{1}, std::size_t{2999}, row.s.size() - 1,
                             row.s.size(), row.s.size() + 1}) {
      const std::size_t expected =
          from > row.s.size() ? kNpos : std::string_view(row.s).find(row.needle, from);
      EXPECT_EQ(FindFrom(row.s, row.needle, from), expected) << row.needle << " from " << from;
      EXPECT_EQ(HorspoolFind(row.s, row.needle, from), expected) << row.needle << " from " << from;
    }
  }
}

TEST(TextLastDelimiterTest, Rows) {
  const LeadByteSet none;
  LeadByteSet shiftJis;
  shiftJis.AddRange(0x81, 0x9F);
  shiftJis.AddRange(0xE0, 0xFC);
  struct Row {
    std::string delims, s;
    const LeadByteSet* lead;
    std::size_t position;
  };
  const Row rows[] = {
      {"\n", "a\nb\nc", &none, 4},
      {"\n", "abc", &none, 0},
      {"\n", "", &none, 0},
      {"\n", "\n", &shiftJis, 1},
      {"\n", "a\x81\n", &none, 3},  // single-byte code page: still a break
      {"\n", "a\x81\n", &shiftJis, 0},
      {"\n", "\n\x81\n", &shiftJis, 1},     // skips the pair, finds the first LF
      {"\n", "a\x81\x81\n", &shiftJis, 4},  // even run: a real line break
      {"\n", "a\x81\x81\x81\n", &shiftJis, 0},
      {"\n", "\nx\x81\x81\x81\n", &shiftJis, 1},
      {"\n", "\x81\n\n", &shiftJis, 3},
      {"\n", "\x81\n", &shiftJis, 0},
      {"\n", "\n\0"s, &none, 1},
      {"\0"s, "a\0b"s, &none, 0},  // NUL never matches
      {"/\\", "a/b\\c", &none, 4},
      {"ab", "xaxbx", &none, 4},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TextLastDelimiter(row.delims, row.s, *row.lead), row.position)
        << testing::PrintToString(row.s);
  }
}

TEST(TextLastDelimiterTest, LeadBytesThatAreDelimitersToo) {
  // An injected set may hold the delimiter itself; the run rule still holds.
  LeadByteSet lfIsLead;
  lfIsLead.AddRange('\n', '\n');
  EXPECT_EQ(TextLastDelimiter("\n", "\n\n", lfIsLead), 0u);    // 2nd skipped with the 1st
  EXPECT_EQ(TextLastDelimiter("\n", "\n\n\n", lfIsLead), 3u);  // even run before the 3rd
  EXPECT_EQ(TextLastDelimiter("\n", "x\n\n\n\n", lfIsLead), 0u);
}

TEST(AnsiLowerIntoTest, Rows) {
  struct Row {
    std::string text, lowered;
  };
  const Row rows[] = {
      {"PremIUM 09-Z@[`{", "premium 09-z@[`{"},
      {"A\0B"s, "a\0b"s},
      {"", ""},  // after a longer text: the buffer is cut to size
  };
  std::string out = "stale bytes";
  for (const Row& row : rows) {
    AnsiLowerInto(row.text, out);
    EXPECT_EQ(out, row.lowered) << testing::PrintToString(row.text);
  }
}

TEST(ForEachLineTest, SplitsAtEveryKindOfBreak) {
  struct Row {
    std::string text;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"a\r\nb", {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\r\n", {"a"}},
      {"a\r\rb", {"a", "", "b"}},
      {"\r\na", {"", "a"}},
      {"a\0b"s, {"a"}},
      {"a\r\n\n", {"a", ""}},
      {"", {}},
      {"\0a"s, {}},
      {"a\r\0b"s, {"a"}},
      {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
      {"\n\n", {"", ""}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> lines;
    ForEachLine(row.text, [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, row.lines) << testing::PrintToString(row.text);
  }
}

TEST(HostTextTest, NullIsEmpty) {
  EXPECT_EQ(ViewOfHostText(nullptr), "");
  EXPECT_EQ(ViewOfHostText("ab\0cd"), "ab");
}

}  // namespace
}  // namespace velmora
