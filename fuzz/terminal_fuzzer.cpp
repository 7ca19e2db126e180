// libFuzzer target: site bytes on their way to a terminal. The input is the
// bytes. Shown's output holds no control byte, is well-formed UTF-8 with no
// unsafe code point, and undoing its escapes gives the input back (nothing
// lost, nothing forged); LinkText's is printable ASCII and stays as it is
// when given again.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_checks.h"
#include "host/io/terminal_text.h"

namespace {

using velmora::fuzz::Require;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Shown's escapes undone; nothing when shown holds one it never writes.
std::optional<std::string> Unshown(std::string_view shown) {
  std::string bytes;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] != '\\') {
      bytes += shown[i];
      continue;
    }
    if (++i == shown.size()) return std::nullopt;
    switch (shown[i]) {
      case '\\': bytes += '\\'; break;
      case 't': bytes += '\t'; break;
      case 'r': bytes += '\r'; break;
      case 'n': bytes += '\n'; break;
      case 'x': {
        if (shown.size() - i < 3) return std::nullopt;
        const int high = HexDigit(shown[i + 1]), low = HexDigit(shown[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default: return std::nullopt;
    }
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::host;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const std::string shown = Shown(input);
  for (const char c : shown) Require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  const std::optional<std::u32string> codes = velmora::fuzz::DecodeUtf8(shown);
  Require(codes.has_value());
  for (const char32_t code : *codes) Require(!IsUnsafeCodePoint(code));
  Require(Unshown(shown) == std::string(input));

  const std::string link = LinkText(input);
  for (const char c : link) Require(c > 0x20 && c < 0x7F);
  Require(LinkText(link) == link);
  return 0;
}
