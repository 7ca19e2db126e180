// What the host's fuzz targets check of the text they get back, written
// apart from the code under test so that a fault there is not shared here.
#ifndef VELMORA_FUZZ_FUZZ_CHECKS_H_
#define VELMORA_FUZZ_FUZZ_CHECKS_H_

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::fuzz {

inline void Require(bool holds) {
  if (!holds) std::abort();  // a finding: libFuzzer keeps the input
}

// The code points of text when it is well-formed UTF-8 (Unicode's table of
// well-formed byte sequences: no overlong form, no surrogate, nothing above
// U+10FFFF), else nothing.
inline std::optional<std::u32string> DecodeUtf8(std::string_view text) {
  std::u32string codes;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length = 1;
    unsigned char low = 0x80, high = 0xBF;
    char32_t code = lead;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return std::nullopt;
    }
    if (text.size() - i < length) return std::nullopt;
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if (next < low || next > high) return std::nullopt;
      low = 0x80, high = 0xBF;
      code = (code << 6) | (next & 0x3F);
    }
    codes += code;
    i += length;
  }
  return codes;
}

}  // namespace velmora::fuzz

#endif  // VELMORA_FUZZ_FUZZ_CHECKS_H_
