#include "host/download/file_naming.h"

#include <array>
#include <cctype>

#include "host/io/terminal_text.h"
#include "host/net/web_url.h"

namespace velmora::host {
namespace {

constexpr size_t kMaxExtensionBytes = 16;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view text) {
  char32_t code = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8Sequence(text, i, code);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Code points a name must not carry: those the terminal must not get
// either, and those Windows forbids in a name.
bool IsUnsafe(char32_t code) {
  return IsUnsafeCodePoint(code) ||
         (code < 0x80 &&
          std::string_view("<>:\"|?*").find(static_cast<char>(code)) != std::string_view::npos);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with superscript digits) and the
// console names: Windows opens the device whatever the extension.
bool IsReservedOnWindows(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsIgnoringCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string_view stem = base.substr(0, 3);
  if (!EqualsIgnoringCase(stem, "COM") && !EqualsIgnoringCase(stem, "LPT")) return false;
  const std::string_view digit = base.substr(3);
  return (digit.size() == 1 && std::isdigit(static_cast<unsigned char>(digit[0]))) ||
         digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

// Cuts text to at most bytes, at a character boundary.
std::string_view Cut(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// The value of parameter wanted (lower case) in a header value such as
// attachment; filename="a b.zip", unquoted; empty when it is absent.
std::string Parameter(std::string_view value, std::string_view wanted) {
  size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == ';')) ++i;
    size_t end = i;
    while (end < value.size() && value[end] != '=' && value[end] != ';') ++end;
    std::string name(value.substr(i, end - i));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (end >= value.size() || value[end] == ';') {  // a bare token: the disposition type
      i = end;
      continue;
    }
    size_t at = end + 1;
    while (at < value.size() && (value[at] == ' ' || value[at] == '\t')) ++at;
    std::string text;
    if (at < value.size() && value[at] == '"') {
      for (++at; at < value.size() && value[at] != '"'; ++at) {
        if (value[at] == '\\' && at + 1 < value.size()) ++at;
        text += value[at];
      }
      i = value.find(';', at);
    } else {
      i = value.find(';', at);
      text = std::string(value.substr(at, i == std::string_view::npos ? i : i - at));
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    }
    if (name == wanted) return text;
    if (i == std::string_view::npos) break;
  }
  return {};
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[text.size() - suffix.size() + i])) !=
        suffix[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool IsWebPageInsteadOf(std::string_view contentType, std::string_view name) {
  std::string type(contentType.substr(0, contentType.find(';')));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (type != "text/html" && type != "application/xhtml+xml") return false;
  return !EndsWithIgnoringCase(name, ".htm") && !EndsWithIgnoringCase(name, ".html");
}

std::string DispositionFileName(std::string_view value) {
  // filename*=charset'language'percent-encoded-bytes
  const std::string extended = Parameter(value, "filename*");
  const size_t quote = extended.find('\'');
  const size_t second = quote == std::string::npos ? quote : extended.find('\'', quote + 1);
  if (second != std::string::npos) {
    const std::string charset = extended.substr(0, quote);
    const std::string bytes = PercentDecoded(std::string_view(extended).substr(second + 1));
    if (EqualsIgnoringCase(charset, "UTF-8") && IsValidUtf8(bytes)) return bytes;
    if (EqualsIgnoringCase(charset, "ISO-8859-1")) return Latin1ToUtf8(bytes);
  }
  // filename= is ISO-8859-1 by the rules, UTF-8 in practice.
  const std::string plain = Parameter(value, "filename");
  return IsValidUtf8(plain) ? plain : Latin1ToUtf8(plain);
}

std::string UrlFileName(const std::string& url) {
  const std::string path = PathOfUrl(url);
  return PercentDecoded(std::string_view(path).substr(path.rfind('/') + 1));
}

std::string SafeFileName(std::string_view proposed) {
  const size_t separator = proposed.find_last_of("/\\");
  if (separator != std::string_view::npos) proposed.remove_prefix(separator + 1);
  std::string name;
  for (size_t i = 0; i < proposed.size();) {
    char32_t code = 0;
    const size_t length = Utf8Sequence(proposed, i, code);
    if (length == 0 || IsUnsafe(code)) {
      name += '_';
      i += length == 0 ? 1 : length;
    } else {
      name.append(proposed.substr(i, length));
      i += length;
    }
  }
  const size_t first = name.find_first_not_of(". ");
  if (first == std::string::npos) return {};
  name.erase(0, first);
  if (name.size() > kMaxNameBytes) {
    const size_t dot = name.rfind('.');
    const std::string extension =
        dot != std::string::npos && name.size() - dot <= kMaxExtensionBytes ? name.substr(dot) : "";
    name = std::string(Cut(name, kMaxNameBytes - extension.size())) + extension;
  }
  // Windows drops trailing dots and blanks (a cut may leave some), and would
  // then see a device name in what is left.
  name.erase(name.find_last_not_of(". ") + 1);
  if (IsReservedOnWindows(name)) name.insert(0, "_");
  // A saved file is never taken for a download in progress.
  if (name.size() >= kPartSuffix.size() &&
      EqualsIgnoringCase(std::string_view(name).substr(name.size() - kPartSuffix.size()),
                         kPartSuffix)) {
    name += '_';
  }
  return name;
}

std::string DownloadFileName(std::string_view disposition, const std::string& finalUrl) {
  for (const std::string& proposed : {DispositionFileName(disposition), UrlFileName(finalUrl)}) {
    std::string name = SafeFileName(proposed);
    if (!name.empty()) return name;
  }
  return "download";
}

std::string NumberedName(const std::string& name, int n) {
  if (n == 0) return name;
  const size_t dot = name.rfind('.');
  const std::string number = " (" + std::to_string(n) + ")";
  if (dot == std::string::npos || dot == 0) return name + number;
  return name.substr(0, dot) + number + name.substr(dot);
}

}  // namespace velmora::host
