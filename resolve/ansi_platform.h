// The two services of the operating system that the text work depends on:
// 8-bit lower-casing under the ANSI code page, and the code page's lead
// bytes of double-byte characters. One implementation per platform is linked
// in (ansi_platform_portable.cpp or ansi_platform_win32.cpp).
#ifndef VELMORA_RESOLVE_ANSI_PLATFORM_H_
#define VELMORA_RESOLVE_ANSI_PLATFORM_H_

#include <bitset>
#include <cstddef>
#include <initializer_list>
#include <utility>

namespace velmora {

// The lead bytes of a double-byte code page, as a set of byte values.
class LeadByteSet {
 public:
  LeadByteSet() = default;
  // Inclusive ranges {first, last}, as the system reports them.
  LeadByteSet(std::initializer_list<std::pair<unsigned char, unsigned char>> ranges) {
    for (const auto& range : ranges) AddRange(range.first, range.second);
  }

  void AddRange(unsigned char first, unsigned char last) {
    for (unsigned value = first; value <= last; ++value) bytes_.set(value);
  }
  bool Contains(unsigned char byte) const { return bytes_.test(byte); }
  bool empty() const { return bytes_.none(); }

 private:
  std::bitset<256> bytes_;
};

// Lower-cases size bytes in place under the ANSI code page. NUL bytes are
// passed over like any other. ASCII A-Z always become a-z.
void PlatformLowerInPlace(char* data, std::size_t size);

// The lead bytes of the ANSI code page, read once when the library is
// loaded; empty on a system without double-byte support.
const LeadByteSet& SystemLeadBytes();

}  // namespace velmora

#endif  // VELMORA_RESOLVE_ANSI_PLATFORM_H_
