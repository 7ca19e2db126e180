// Bytes from a site (or a recording) on their way to a terminal, a log
// reader or a script reading our lines.
#ifndef VELMORA_HOST_IO_TERMINAL_TEXT_H_
#define VELMORA_HOST_IO_TERMINAL_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::host {

// Code points that steer a terminal or reorder or hide what it shows: C0
// and C1 controls, DEL, the bidirectional marks, embeddings, overrides and
// isolates, the line and paragraph separators, and U+FEFF. Neither stderr
// nor a file name carries them.
bool IsUnsafeCodePoint(char32_t code);

// The one way site bytes reach stderr: printable ASCII and well-formed UTF-8
// stay; unsafe code points (above) and malformed UTF-8 become \xHH (\t, \r,
// \n for those three), and a backslash is doubled, so nothing a site sends
// can move the cursor, colour the screen or forge a line.
std::string Shown(std::string_view bytes);

// True when text reaches a terminal as it is: well-formed UTF-8 without an
// unsafe code point (Shown changes nothing in it but its backslashes).
bool IsPrintable(std::string_view text);

// A link or URL as one printable token: every byte outside 0x21..0x7E (space,
// controls, DEL, non-ASCII) is percent-encoded, as a URL must be anyway.
// Applying it twice changes nothing.
std::string LinkText(std::string_view link);

// Length of the well-formed UTF-8 sequence at text[at] (1 for ASCII) and its
// code point; 0 when the bytes there are not one.
size_t Utf8Sequence(std::string_view text, size_t at, char32_t& code);

}  // namespace velmora::host

#endif  // VELMORA_HOST_IO_TERMINAL_TEXT_H_
