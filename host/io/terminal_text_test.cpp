#include "host/io/terminal_text.h"

#include <gtest/gtest.h>

namespace velmora::host {
namespace {

TEST(TerminalTextTest, ShownEscapesWhatSteersATerminal) {
  struct Row {
    std::string in;
    std::string out;
  };
  const Row rows[] = {
      {"plain http://a/b?c=d", "plain http://a/b?c=d"},
      {"a\tb\r\nc", "a\\tb\\r\\nc"},
      {"\x1b[2J\x07\x7f", "\\x1B[2J\\x07\\x7F"},
      {"back\\slash", "back\\\\slash"},
      {"\xD0\xA1\xD1\x81\xD1\x8B\xD0\xBB\xD0\xBA\xD0\xB0",
       "\xD0\xA1\xD1\x81\xD1\x8B\xD0\xBB\xD0\xBA\xD0\xB0"},
      {"\xC2\x9B"
       "31m",
       "\\xC2\\x9B31m"},  // C1 CSI, UTF-8 encoded
      {"\x9B"
       "31m",
       "\\x9B31m"},  // C1 CSI, raw
      {"a\xE2\x80\xAE"
       "b",
       "a\\xE2\\x80\\xAEb"},                                           // right-to-left override
      {"\xE2\x80\xA8", "\\xE2\\x80\\xA8"},                             // line separator
      {"\xEF\xBB\xBFhidden", "\\xEF\\xBB\\xBFhidden"},                 // zero-width no-break space
      {"\xC0\xAF\xED\xA0\x80\xF8", "\\xC0\\xAF\\xED\\xA0\\x80\\xF8"},  // overlong, surrogate
      {"\xE2\x82", "\\xE2\\x82"},                                      // cut short
      {std::string("nul\0x", 5), "nul\\x00x"},
  };
  for (const Row& row : rows) EXPECT_EQ(Shown(row.in), row.out) << row.in;
}

TEST(TerminalTextTest, LinkTextPercentEncodesAllButVisibleAscii) {
  EXPECT_EQ(LinkText("http://h/a b\t\r\n\x1b\x7f\xE9%41"), "http://h/a%20b%09%0D%0A%1B%7F%E9%41");
  EXPECT_EQ(LinkText(LinkText("a b")), "a%20b");
}

}  // namespace
}  // namespace velmora::host
