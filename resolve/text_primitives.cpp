#include "resolve/text_primitives.h"

#include <cstring>

namespace velmora {
std::size_t HorspoolFind(std::string_view s, std::string_view needle, std::size_t from) {
  const std::size_t size = needle.size();
  if (size == 0 || from > s.size() || size > s.size() - from) return kNpos;
  std::size_t shift[256];
  for (std::size_t& value : shift) value = size;
  for (std::size_t i = 0; i + 1 < size; ++i) {
    shift[static_cast<unsigned char>(needle[i])] = size - 1 - i;
  }
  const unsigned char lastByte = static_cast<unsigned char>(needle[size - 1]);
  for (std::size_t at = from; at + size <= s.size();) {
    const unsigned char byte = static_cast<unsigned char>(s[at + size - 1]);
    if (byte == lastByte && std::memcmp(s.data() + at, needle.data(), size - 1) == 0) return at;
    at += shift[byte];
  }
  return kNpos;
}

namespace {

std::size_t SkippingFind(std::string_view s, std::string_view needle, std::size_t from) {
#if defined(__GLIBC__)
  // The C library's own skipping search is faster still.
  const void* found = memmem(s.data() + from, s.size() - from, needle.data(), needle.size());
  if (found == nullptr) return kNpos;
  return static_cast<std::size_t>(static_cast<const char*>(found) - s.data());
#else
  return HorspoolFind(s, needle, from);
#endif
}

}  // namespace

std::size_t FindFrom(std::string_view s, std::string_view needle, std::size_t from) {
  if (needle.empty() || from > s.size() || needle.size() > s.size() - from) return kNpos;
  // Jumping from one first byte to the next (memchr) is fastest on ordinary
  // pages. A page dense with that byte would make it stop at nearly every
  // byte, so after many false starts the rest is searched by skipping.
  const char* const begin = s.data();
  const char* const last = begin + (s.size() - needle.size());
  const char* at = begin + from;
  std::size_t falseStarts = 0;
  while (at <= last) {
    at = static_cast<const char*>(
        std::memchr(at, needle[0], static_cast<std::size_t>(last - at) + 1));
    if (at == nullptr) return kNpos;
    // The last byte first: it rules out most false starts without a call.
    if (at[needle.size() - 1] == needle.back() &&
        std::memcmp(at + 1, needle.data() + 1, needle.size() - 1) == 0) {
      return static_cast<std::size_t>(at - begin);
    }
    ++at;
    // A false start costs about as much as skipping over 64 bytes.
    if (++falseStarts > 64 && falseStarts * 64 > static_cast<std::size_t>(at - begin) - from)
      return SkippingFind(s, needle, static_cast<std::size_t>(at - begin));
  }
  return kNpos;
}

namespace {

// Index of the last byte before end that is marked in isDelimiter; kNpos if none.
std::size_t LastMarkedBefore(std::string_view s, std::size_t end, std::string_view delims,
                             const bool (&isDelimiter)[256]) {
#if defined(__GLIBC__)
  if (delims.size() == 1 && delims[0] != '\0') {
    const void* found = memrchr(s.data(), delims[0], end);
    if (found == nullptr) return kNpos;
    return static_cast<std::size_t>(static_cast<const char*>(found) - s.data());
  }
#else
  static_cast<void>(delims);
#endif
  while (end > 0) {
    --end;
    if (isDelimiter[static_cast<unsigned char>(s[end])]) return end;
  }
  return kNpos;
}

}  // namespace

std::size_t TextLastDelimiter(std::string_view delims, std::string_view s,
                              const LeadByteSet& leadBytes) {
  bool isDelimiter[256] = {};
  for (const char byte : delims) {
    if (byte != '\0') isDelimiter[static_cast<unsigned char>(byte)] = true;  // NUL never matches
  }
  auto isLead = [&](std::size_t i) { return leadBytes.Contains(static_cast<unsigned char>(s[i])); };
  // The run of lead bytes [runStart, runEnd) found last. Walking backwards,
  // a new run always lies before the old one, so no byte is counted twice.
  std::size_t runStart = 0;
  std::size_t runEnd = 0;
  std::size_t end = s.size();  // bytes [0, end) are still to be looked at
  while (end > 0) {
    const std::size_t i = LastMarkedBefore(s, end, delims, isDelimiter);
    if (i == kNpos) return 0;
    if (leadBytes.empty() || i == 0) return i + 1;
    // Length of the run of lead bytes that ends right before i.
    const std::size_t before = i - 1;
    if (!(before >= runStart && before < runEnd)) {
      runEnd = before + 1;
      runStart = runEnd;
      while (runStart > 0 && isLead(runStart - 1)) --runStart;
    }
    if ((i - runStart) % 2 == 0) return i + 1;
    // The second byte of a double-byte character: go on before its first byte.
    end = i - 1;
  }
  return 0;
}

void AnsiLowerInto(std::string_view s, std::string& out) {
  out.resize(s.size());
  PlatformLower(s, out.data());
}

}  // namespace velmora
