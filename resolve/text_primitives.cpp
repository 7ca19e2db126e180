#include "resolve/text_primitives.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

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
    at = static_cast<const char*>(std::memchr(at, needle[0], static_cast<std::size_t>(last - at) + 1));
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

std::size_t TextFind(std::string_view sub, std::string_view s) {
  if (sub.size() > s.size()) return 0;
  return ToPosition(FindFrom(s, sub));
}

std::string_view TextCopy(std::string_view s, std::int64_t index, std::int64_t count) {
  if (index < 1) index = 1;
  const auto size = static_cast<std::int64_t>(s.size());
  if (index > size || count < 0) return {};
  const std::int64_t available = size - (index - 1);
  return s.substr(static_cast<std::size_t>(index - 1),
                  static_cast<std::size_t>(count < available ? count : available));
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
  out.assign(s.data(), s.size());
  if (!out.empty()) PlatformLowerInPlace(out.data(), out.size());
}

std::string AnsiLower(std::string_view s) {
  std::string lowered;
  AnsiLowerInto(s, lowered);
  return lowered;
}

void LineList::Add(std::string_view line) {
  const std::size_t offset = bytes_.size();
  bytes_.append(line.data(), line.size());
  spans_.push_back({offset, line.size()});
}

void LineList::CheckIndex(int index) const {
  if (index >= 0 && index < Count()) return;
  // Written without snprintf, which would bring the C runtime's whole
  // printf (some 25 KB) into the Windows DLL for this one message.
  char message[48] = "List index out of bounds (";
  char* const digits = message + std::strlen(message);
  char* const end = std::to_chars(digits, message + sizeof message - 2, index).ptr;
  end[0] = ')';
  end[1] = '\0';
  throw std::out_of_range(message);
}

void LineList::Delete(int index) {
  CheckIndex(index);
  spans_.erase(spans_.begin() + index);
}

std::string_view LineList::Get(int index) const {
  CheckIndex(index);
  return View(spans_[static_cast<std::size_t>(index)]);
}

void LineList::Clear() {
  bytes_.clear();
  spans_.clear();
}

void LineList::IndexLines() {
  spans_.clear();
  const std::string_view all(bytes_);
  ForEachLine(all, [&](std::string_view line) {
    spans_.push_back({static_cast<std::size_t>(line.data() - all.data()), line.size()});
  });
}

void LineList::SetText(std::string_view text) {
  bytes_.assign(text.data(), text.size());
  IndexLines();
}

void LineList::AppendTextTo(std::string& out) const {
  std::size_t size = out.size();
  for (const Span& span : spans_) size += span.size + 2;
  out.reserve(size);
  for (const Span& span : spans_) {
    out.append(bytes_, span.offset, span.size);
    out.append("\r\n", 2);
  }
}

std::string LineList::GetText() const {
  std::string text;
  AppendTextTo(text);
  return text;
}

}  // namespace velmora
