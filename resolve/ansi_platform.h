// The two services of the operating system that the text work depends on:
// 8-bit lower-casing under the ANSI code page, and the code page's lead
// bytes of double-byte characters. One implementation per platform is linked
// in (ansi_platform_portable.cpp or ansi_platform_win32.cpp).
#ifndef VELMORA_RESOLVE_ANSI_PLATFORM_H_
#define VELMORA_RESOLVE_ANSI_PLATFORM_H_

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

namespace velmora {

// The lead bytes of a double-byte code page, as a set of byte values.
class LeadByteSet {
 public:
  // An inclusive range, as the system reports them.
  void AddRange(unsigned char first, unsigned char last) {
    for (unsigned value = first; value <= last; ++value) bytes_.set(value);
  }
  bool Contains(unsigned char byte) const { return bytes_.test(byte); }
  bool empty() const { return bytes_.none(); }

 private:
  std::bitset<256> bytes_;
};

// The lead bytes of the ANSI code page, read once when the library is
// loaded; empty on a system without double-byte support.
const LeadByteSet& SystemLeadBytes();

// Writes source, lower-cased under the ANSI code page, to out, which has
// room for source.size() bytes and does not overlap source. NUL bytes are
// passed over like any other. ASCII A-Z always become a-z. On Win32 the
// rule of LowerUnderCodePage below applies, with CharLowerBuffA.
void PlatformLower(std::string_view source, char* out);

// The system's lower-casing in place, as CharLowerBuffA does it: returns
// how many bytes it gave back.
using SystemLower = std::uint32_t (*)(char* data, std::uint32_t size);

// Lowers source into out (as PlatformLower) with the system's lower-casing,
// which converts the bytes to UTF-16 and back, where that round trip can be
// trusted. Where it cannot, only the ASCII letters A-Z are lowered and every
// other byte is copied as it is: all that the search for "premium" needs.
// It cannot be trusted
//  - under the UTF-8 code page (65001), where every byte that is not valid
//    UTF-8 would come back as the three bytes EF BF BD and the text would be
//    cut at its old length, so the system is not asked at all;
//  - when the system does not give back the whole length: under 932 a lone
//    lead byte at the end makes CharLowerBuffA return 0, and it does so when
//    it runs out of memory; what it left in out then counts for nothing.
// In the fallback a byte after a lead byte (leadBytes, read left to right)
// is the second half of a double-byte character, no letter of its own, and
// stays as it is, as the system would leave it.
inline void LowerUnderCodePage(std::string_view source, char* out, SystemLower lower,
                               unsigned codePage, const LeadByteSet& leadBytes) {
  constexpr unsigned kUtf8CodePage = 65001;
  if (source.empty()) return;
  std::memcpy(out, source.data(), source.size());
  if (codePage != kUtf8CodePage) {
    bool whole = true;
    // In pieces only where size_t is wider than the length the call takes.
    for (std::size_t done = 0; whole && done < source.size();) {
      const std::size_t rest = source.size() - done;
      const auto piece = static_cast<std::uint32_t>(rest > std::numeric_limits<std::uint32_t>::max()
                                                        ? std::numeric_limits<std::uint32_t>::max()
                                                        : rest);
      whole = lower(out + done, piece) == piece;
      done += piece;
    }
    if (whole) return;
  }
  for (std::size_t i = 0; i < source.size(); ++i) {
    const char byte = source[i];
    if (leadBytes.Contains(static_cast<unsigned char>(byte)) && i + 1 < source.size()) {
      out[i] = byte;
      out[i + 1] = source[i + 1];
      ++i;
      continue;
    }
    out[i] = byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
  }
}

}  // namespace velmora

#endif  // VELMORA_RESOLVE_ANSI_PLATFORM_H_
