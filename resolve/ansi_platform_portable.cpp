// Platform services for systems without an ANSI code page: ASCII-only
// lower-casing and no double-byte characters.
#include "resolve/ansi_platform.h"

namespace velmora {

void PlatformLowerInPlace(char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] >= 'A' && data[i] <= 'Z') data[i] = static_cast<char>(data[i] - 'A' + 'a');
  }
}

const LeadByteSet& SystemLeadBytes() {
  static const LeadByteSet kNone;
  return kNone;
}

}  // namespace velmora
