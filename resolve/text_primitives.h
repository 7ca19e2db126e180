// Byte-exact text primitives. The form scanner and the resolver are written
// as searches and cuts on page text, and their results at the edges follow
// from the rules here, so these rules are part of the plugin's behaviour.
//
// Texts are 8-bit bytes in the ANSI code page; no character set is decoded.
// Owned texts are std::string; borrowed ones std::string_view, which must
// not outlive the bytes it looks at. Searches give 0-based byte offsets with
// kNpos for "not found"; TextLastDelimiter alone gives a 1-based position
// with 0 for none.
#ifndef VELMORA_RESOLVE_TEXT_PRIMITIVES_H_
#define VELMORA_RESOLVE_TEXT_PRIMITIVES_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "resolve/ansi_platform.h"

namespace velmora {

inline constexpr std::size_t kNpos = std::string_view::npos;

// Offset of the first occurrence of needle in s at or after from; kNpos when
// there is none, when needle is empty, or when from is past the end. Linear
// in the bytes searched, also on text made of the needle's first byte.
std::size_t FindFrom(std::string_view s, std::string_view needle, std::size_t from = 0);
// FindFrom by Horspool's skipping search; what FindFrom turns to on text
// dense with the needle's first byte where the C library offers nothing better.
std::size_t HorspoolFind(std::string_view s, std::string_view needle, std::size_t from = 0);

// The part of s from offset to the end; empty when offset is past the end.
inline std::string_view TailFrom(std::string_view s, std::size_t offset) {
  return offset >= s.size() ? std::string_view() : s.substr(offset);
}

// Position of the last byte of s that is one of delims; 0 when there is
// none. A NUL byte never matches. A byte directly preceded by an odd run of
// lead bytes is the second half of a double-byte character and is passed
// over, together with its first half.
std::size_t TextLastDelimiter(std::string_view delims, std::string_view s,
                              const LeadByteSet& leadBytes = SystemLeadBytes());

// s lower-cased byte by byte under the ANSI code page (see PlatformLower for
// where the system cannot be trusted with it) into out, a buffer the caller
// reuses; s must not lie inside it.
void AnsiLowerInto(std::string_view s, std::string& out);

// The bytes of a host's NUL-terminated text up to its NUL; null is empty.
inline std::string_view ViewOfHostText(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

// Replaces buffer with a copy of text (which must not lie inside buffer).
// The storage is reused when it is large enough; otherwise it is released
// before the copy is made, and the new one is of the text's size, so that a
// request never holds its page and its answer at once.
inline void CopyHostText(std::string_view text, std::string& buffer) {
  if (text.size() > buffer.capacity()) std::string().swap(buffer);
  buffer.assign(text.data(), text.size());
}

// Calls fn(line) for each line of text: a line ends at CR, LF or NUL; after
// a line one CR, then one LF, is skipped; a NUL ends the text. A final line
// break adds no empty line.
template <typename Fn>
void ForEachLine(std::string_view text, Fn&& fn) {
  std::size_t pos = 0;
  const std::size_t size = text.size();
  while (pos < size && text[pos] != '\0') {
    std::size_t end = pos;
    while (end < size && text[end] != '\r' && text[end] != '\n' && text[end] != '\0') ++end;
    fn(text.substr(pos, end - pos));
    pos = end;
    if (pos < size && text[pos] == '\r') ++pos;
    if (pos < size && text[pos] == '\n') ++pos;
  }
}

}  // namespace velmora

#endif  // VELMORA_RESOLVE_TEXT_PRIMITIVES_H_
