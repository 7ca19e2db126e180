#include "host/session/cp1251.h"

#include <gtest/gtest.h>

namespace velmora::host {
namespace {

TEST(Cp1251Test, DecodesToUtf8) {
  struct Row {
    std::string bytes;
    std::string utf8;
  };
  const Row rows[] = {
      {"", ""},
      {"POST url\n", "POST url\n"},  // ASCII, control bytes included, as is
      {"\xD1\xF1\xFB\xEB\xEA\xE0", "Ссылка"},
      {"\xC0\xDF\xE0\xFF", "АЯая"},  // ends of the Cyrillic block
      {"\xA8\xB8", "Ёё"},
      {"\x80\x88\x96\x99\xB9", "Ђ€–™№"},  // the odd high half
      {"\xA0\xAD", "\u00A0\u00AD"},
      {"\x98", "\uFFFD"},  // the one byte 1251 leaves undefined
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Row& row : rows) EXPECT_EQ(DecodeCp1251(row.bytes), row.utf8) << row.bytes;
}

TEST(Cp1251Test, PluginLogPrefixes) {
  // The plugin's two debug prefixes, as it sends them.
  EXPECT_EQ(DecodeCp1251("\xD1\xF1\xFB\xEB\xEA\xE0 \xE4\xEB\xFF POST: "), "Ссылка для POST: ");
  EXPECT_EQ(DecodeCp1251("\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB POST:\n"), "Параметры POST:\n");
}

}  // namespace
}  // namespace velmora::host
