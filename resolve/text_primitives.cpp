#include "resolve/text_primitives.h"

#include <cstdio>
#include <stdexcept>

namespace velmora {

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

std::size_t TextLastDelimiter(std::string_view delims, std::string_view s,
                              const LeadByteSet& leadBytes) {
  auto isLead = [&](std::size_t i) { return leadBytes.Contains(static_cast<unsigned char>(s[i])); };
  // The run of lead bytes [runStart, runEnd) found last. Walking backwards,
  // a new run always lies before the old one, so no byte is counted twice.
  std::size_t runStart = 0;
  std::size_t runEnd = 0;
  std::size_t i = s.size();
  while (i > 0) {
    --i;
    const char byte = s[i];
    if (byte == '\0' || delims.find(byte) == std::string_view::npos) continue;
    if (leadBytes.empty() || i == 0) return i + 1;
    // Length of the run of lead bytes that ends right before i.
    const std::size_t before = i - 1;
    if (!(before >= runStart && before < runEnd)) {
      runEnd = before + 1;
      runStart = runEnd;
      while (runStart > 0 && isLead(runStart - 1)) --runStart;
    }
    const std::size_t run = i - runStart;
    if (run % 2 == 0) return i + 1;
    // The second byte of a double-byte character: go on before its first byte.
    --i;
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
  char message[64];
  std::snprintf(message, sizeof message, "List index out of bounds (%d)", index);
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

void LineList::AdoptText(std::string&& text) {
  bytes_ = std::move(text);
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
