#include "resolve/text_primitives.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

using namespace std::string_literals;

TEST(TextFindTest, Rows) {
  struct Row {
    std::string sub, s;
    std::size_t position;
  };
  const Row rows[] = {
      {"ab", "xxab", 3},   {"ab", "", 0},     {"", "ab", 0},      {"", "", 0},
      {"abc", "ab", 0},    {"AB", "ab", 0},   {"a", "aaa", 1},    {"aab", "aaab", 2},
      {"b", "ab", 2},      {"ab", "ab", 1},   {"\0b"s, "a\0b"s, 2}, {"ba", "ab", 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TextFind(row.sub, row.s), row.position) << row.sub << " in " << row.s;
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
    for (std::size_t from : {std::size_t{0}, std::size_t{1}, std::size_t{2999},
                             row.s.size() - 1, row.s.size(), row.s.size() + 1}) {
      const std::size_t expected =
          from > row.s.size() ? kNpos : std::string_view(row.s).find(row.needle, from);
      EXPECT_EQ(FindFrom(row.s, row.needle, from), expected) << row.needle << " from " << from;
      EXPECT_EQ(HorspoolFind(row.s, row.needle, from), expected) << row.needle << " from " << from;
    }
  }
}

TEST(TextCopyTest, Rows) {
  struct Row {
    std::int64_t index, count;
    std::string expected;
  };
  const Row rows[] = {
      {0, 2, "ab"},       {-5, 3, "abc"},     {6, 5, "f"},          {7, 1, ""},
      {2, -1, ""},        {1, 0, ""},         {3, kToEnd, "cdef"},  {1, kToEnd, "abcdef"},
      {6, kToEnd, "f"},   {7, kToEnd, ""},    {INT64_MIN, 1, "a"},  {1, INT64_MAX, "abcdef"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TextCopy("abcdef", row.index, row.count), row.expected)
        << "from " << row.index << " for " << row.count;
  }
  EXPECT_EQ(TextCopy("", 1, 1), "");
}

TEST(TextLastDelimiterTest, Rows) {
  const LeadByteSet none;
  const LeadByteSet shiftJis{{0x81, 0x9F}, {0xE0, 0xFC}};
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
      {"\n", "\n\x81\n", &shiftJis, 1},  // skips the pair, finds the first LF
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
  const LeadByteSet lfIsLead{{'\n', '\n'}};
  EXPECT_EQ(TextLastDelimiter("\n", "\n\n", lfIsLead), 0u);    // 2nd skipped with the 1st
  EXPECT_EQ(TextLastDelimiter("\n", "\n\n\n", lfIsLead), 3u);  // even run before the 3rd
  EXPECT_EQ(TextLastDelimiter("\n", "x\n\n\n\n", lfIsLead), 0u);
}

TEST(AnsiLowerTest, Rows) {
  EXPECT_EQ(AnsiLower(""), "");
  EXPECT_EQ(AnsiLower("PremIUM 09-Z@[`{"), "premium 09-z@[`{");
  EXPECT_EQ(AnsiLower("A\0B"s), "a\0b"s);
}

TEST(LineListTest, SetTextSplitsAtEveryKindOfBreak) {
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
    LineList list;
    list.Add("stale");
    list.SetText(row.text);
    std::vector<std::string> lines;
    for (int i = 0; i < list.Count(); ++i) lines.emplace_back(list.Get(i));
    EXPECT_EQ(lines, row.lines) << testing::PrintToString(row.text);
  }
}

TEST(LineListTest, GetTextEndsEveryLineWithCrLf) {
  LineList list;
  EXPECT_EQ(list.GetText(), "");
  list.Add("a");
  list.Add("b");
  EXPECT_EQ(list.GetText(), "a\r\nb\r\n");
  list.Add("");
  EXPECT_EQ(list.GetText(), "a\r\nb\r\n\r\n");
}

TEST(LineListTest, SetTextThenGetTextNormalises) {
  const std::string normal = "a\r\n\r\nb c\r\n";
  LineList list;
  list.SetText(normal);
  EXPECT_EQ(list.GetText(), normal);  // already normal: unchanged
  list.SetText("x\ny\rz\n\rq\0tail"s);
  EXPECT_EQ(list.GetText(), "x\r\ny\r\nz\r\n\r\nq\r\n");
}

TEST(LineListTest, DeleteMovesLaterLinesDown) {
  LineList list;
  list.SetText("a\nb\nc\nd");
  list.Delete(1);
  EXPECT_EQ(list.GetText(), "a\r\nc\r\nd\r\n");
  list.Delete(1);
  EXPECT_EQ(list.GetText(), "a\r\nd\r\n");
  list.Add("e");
  EXPECT_EQ(list.Get(2), "e");
}

TEST(LineListTest, IndexOutOfBoundsIsReported) {
  LineList list;
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

TEST(HostTextTest, NullIsEmpty) {
  EXPECT_EQ(ViewOfHostText(nullptr), "");
  EXPECT_EQ(ViewOfHostText("ab\0cd"), "ab");
}

}  // namespace
}  // namespace velmora
