// The Win32 platform services under the code page the process runs in:
// 932 (Japanese, double-byte) or a single-byte one such as 1252.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "resolve/ansi_platform.h"
#include "resolve/text_primitives.h"

namespace velmora {
namespace {

class AnsiPlatformWin32Test : public testing::Test {
 protected:
  void SetUp() override {
    codePage_ = GetACP();
    if (const char* expected = std::getenv("VELMORA_EXPECT_ACP")) {
      ASSERT_EQ(codePage_, static_cast<UINT>(std::atoi(expected)))
          << "Wine chose another code page";
    }
    if (codePage_ != 932 && GetSystemMetrics(SM_DBCSENABLED) != 0) {
      GTEST_SKIP() << "code page " << codePage_ << " has no expected rows here";
    }
  }
  bool ShiftJis() const { return codePage_ == 932; }

  UINT codePage_ = 0;
};

TEST_F(AnsiPlatformWin32Test, LeadBytesOfTheCodePage) {
  const LeadByteSet& lead = SystemLeadBytes();
  if (!ShiftJis()) {
    EXPECT_TRUE(lead.empty());
    return;
  }
  for (unsigned byte : {0x81u, 0x9Fu, 0xE0u, 0xFCu}) EXPECT_TRUE(lead.Contains(byte)) << byte;
  for (unsigned byte : {0x00u, 0x0Au, 0x41u, 0x80u, 0xA0u, 0xDFu, 0xFDu}) {
    EXPECT_FALSE(lead.Contains(byte)) << byte;
  }
  EXPECT_EQ(&SystemLeadBytes(), &lead);  // read once
}

TEST_F(AnsiPlatformWin32Test, LastLineBreakUnderTheCodePage) {
  struct Row {
    std::string text;
    std::size_t under932;
    std::size_t singleByte;
  };
  const Row rows[] = {
      {"a\n\x81\n", 2, 4},      // odd run: the LF is a second byte
      {"a\n\x81\x81\n", 5, 5},  // even run: two characters, then a line break
      {"\x81\n", 0, 2},        {"\x41\n", 2, 2}, {"\n\xE0\xE0\xE0\n", 1, 5},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(TextLastDelimiter("\n", row.text), ShiftJis() ? row.under932 : row.singleByte)
        << testing::PrintToString(row.text);
  }
}

TEST_F(AnsiPlatformWin32Test, LowerCasingUnderTheCodePage) {
  struct Row {
    std::string text;
    std::string under932;
    std::string singleByte;
  };
  const Row rows[] = {
      {std::string("ABC\0DEF", 7), std::string("abc\0def", 7), std::string("abc\0def", 7)},
      {"\xC0\xC9", "\xC0\xC9", "\xE0\xE9"},     // half-width katakana / accented letters
      {"\x83\x41Z", "\x83\x41z", "\x83\x61z"},  // second byte of a character stays
      {"\x82\x60", "\x82\x81", "\x82\x60"},     // full-width A becomes full-width a
      // A lone lead byte at the end: the system gives up, the ASCII letters
      // are lowered all the same (full-width A is none).
      {"\x82\x60PREMIUM\x81", "\x82\x60premium\x81", "\x82\x60premium\x81"},
      {"", "", ""},
  };
  std::string lowered;
  for (const Row& row : rows) {
    AnsiLowerInto(row.text, lowered);
    EXPECT_EQ(lowered, ShiftJis() ? row.under932 : row.singleByte)
        << testing::PrintToString(row.text);
  }
}

// The fallback of LowerUnderCodePage, with a lowering of the test's own in
// place of the system's: it leaves '#' behind and gives back the whole
// length, or as many bytes as the row says (CharLowerBuffA gives back
// fewer under 65001, none for a lone lead byte under 932).
constexpr long long kWhole = -1;
struct FakeLowering {
  long long gives = kWhole;
  int calls = 0;
} g_fake;

std::uint32_t FakeLower(char* data, std::uint32_t size) {
  ++g_fake.calls;
  for (std::uint32_t i = 0; i < size; ++i) data[i] = '#';
  return g_fake.gives == kWhole ? size : static_cast<std::uint32_t>(g_fake.gives);
}

TEST(LowerUnderCodePageTest, AsciiOnlyWhereTheSystemCannotBeTrusted) {
  LeadByteSet shiftJisLeads;
  shiftJisLeads.AddRange(0x81, 0x9F);
  shiftJisLeads.AddRange(0xE0, 0xFC);
  const LeadByteSet none;
  struct Row {
    const char* what;
    std::string source;
    unsigned codePage;
    const LeadByteSet& leadBytes;
    long long gives;
    std::string expected;
    bool asked;
  };
  const Row rows[] = {
      {"whole length", "PREMIUM", 1252, none, kWhole, "#######", true},
      {"one byte short", "type=\xE9PREMIUM", 1252, none, 12, "type=\xE9premium", true},
      {"UTF-8: never asked", "type=\xE9PREMIUM", 65001, none, kWhole, "type=\xE9premium", false},
      {"UTF-8, NUL inside", std::string("A\0B\xC3\x89", 5), 65001, none, kWhole,
       std::string("a\0b\xC3\x89", 5), false},
      {"932, lone lead byte at the end", "\x83\x41PREMIUM\x81", 932, shiftJisLeads, 0,
       "\x83\x41premium\x81", true},
      {"932, second bytes that look like letters", "\x81PREMIUM\xE0", 932, shiftJisLeads, 0,
       "\x81Premium\xE0", true},
      {"empty", "", 932, shiftJisLeads, 0, "", false},
  };
  for (const Row& row : rows) {
    g_fake = FakeLowering{row.gives, 0};
    std::string out(row.source.size(), '?');
    LowerUnderCodePage(row.source, out.data(), &FakeLower, row.codePage, row.leadBytes);
    EXPECT_EQ(out, row.expected) << row.what;
    EXPECT_EQ(g_fake.calls, row.asked ? 1 : 0) << row.what;
  }
}

}  // namespace
}  // namespace velmora
