#include "host/io/terminal_text.h"

namespace velmora::host {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    default: break;
  }
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

}  // namespace

bool IsUnsafeCodePoint(char32_t code) {
  return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x061C || code == 0x200E ||
         code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

size_t Utf8Sequence(std::string_view text, size_t at, char32_t& code) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, min = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, min = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, min = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string Shown(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      out += "\\\\";
      ++i;
    } else {
      char32_t code = 0;
      const size_t length = Utf8Sequence(bytes, i, code);
      if (length == 0 || IsUnsafeCodePoint(code)) {
        const size_t end = i + (length == 0 ? 1 : length);
        for (; i < end; ++i) AppendEscaped(out, static_cast<unsigned char>(bytes[i]));
      } else {
        out.append(bytes.substr(i, length));
        i += length;
      }
    }
  }
  return out;
}

bool IsPrintable(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const size_t length = Utf8Sequence(text, i, code);
    if (length == 0 || IsUnsafeCodePoint(code)) return false;
    i += length;
  }
  return true;
}

std::string LinkText(std::string_view link) {
  std::string out;
  out.reserve(link.size());
  for (const char ch : link) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace velmora::host
