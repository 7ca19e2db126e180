// The Win32 platform services under the code page the process runs in:
// 932 (Japanese, double-byte) or a single-byte one such as 1252.
#include <windows.h>
#undef AnsiLower  // winuser.h's old alias of CharLowerA would hide ours

#include <gtest/gtest.h>

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
      ASSERT_EQ(codePage_, static_cast<UINT>(std::atoi(expected))) << "Wine chose another code page";
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
      {"a\n\x81\n", 2, 4},        // odd run: the LF is a second byte
      {"a\n\x81\x81\n", 5, 5},    // even run: two characters, then a line break
      {"\x81\n", 0, 2},
      {"\x41\n", 2, 2},
      {"\n\xE0\xE0\xE0\n", 1, 5},
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
      {"\xC0\xC9", "\xC0\xC9", "\xE0\xE9"},          // half-width katakana / accented letters
      {"\x83\x41Z", "\x83\x41z", "\x83\x61z"},       // second byte of a character stays
      {"\x82\x60", "\x82\x81", "\x82\x60"},          // full-width A becomes full-width a
      {"", "", ""},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(AnsiLower(row.text), ShiftJis() ? row.under932 : row.singleByte)
        << testing::PrintToString(row.text);
  }
}

}  // namespace
}  // namespace velmora
