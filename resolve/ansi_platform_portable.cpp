// Platform services for systems without an ANSI code page: ASCII-only
// lower-casing and no double-byte characters.
#include "resolve/ansi_platform.h"

namespace velmora {

const LeadByteSet& SystemLeadBytes() {
  static const LeadByteSet kNone;
  return kNone;
}

void PlatformLower(std::string_view source, char* out) {
  for (std::size_t i = 0; i < source.size(); ++i) {
    const char byte = source[i];
    out[i] = byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
  }
}

}  // namespace velmora
