#include "testing/literal_reference.h"

#include <cstdio>
#include <stdexcept>

namespace velmora::literal {

std::int64_t TextFind(const Text& sub, const Text& s) {
  const auto subLength = static_cast<std::int64_t>(sub.size());
  const auto length = static_cast<std::int64_t>(s.size());
  if (subLength == 0 || length == 0 || subLength > length) return 0;
  const std::size_t offset = s.find(sub);
  return offset == Text::npos ? 0 : static_cast<std::int64_t>(offset) + 1;
}

Text TextCopy(const Text& s, std::int64_t index, std::int64_t count) {
  const auto length = static_cast<std::int64_t>(s.size());
  if (index < 1) index = 1;
  if (index > length || count < 0) return Text();
  if (count > length - index + 1) count = length - index + 1;
  return s.substr(static_cast<std::size_t>(index - 1), static_cast<std::size_t>(count));
}

std::int64_t TextLastDelimiter(const Text& delims, const Text& s, const LeadByteSet& leadBytes) {
  std::int64_t i = static_cast<std::int64_t>(s.size());
  while (i >= 1) {
    const char byte = s[i - 1];
    bool isDelimiter = false;
    for (const char delimiter : delims) {
      if (byte == delimiter) isDelimiter = true;
    }
    if (byte == '\0' || !isDelimiter) {
      i -= 1;
      continue;
    }
    std::int64_t leads = 0;
    while (i - 1 - leads >= 1 && leadBytes.Contains(static_cast<unsigned char>(s[i - 2 - leads])))
      ++leads;
    if (leads % 2 == 0) return i;
    i -= 2;  // the second byte of a double-byte character: skip the whole character
  }
  return 0;
}

Text AnsiLower(const Text& s) {
  Text lowered(s.size(), '\0');
  PlatformLower(s, lowered.data());
  return lowered;
}

void LineList::Delete(std::int64_t index) {
  if (index < 0 || index >= Count()) {
    char message[64];
    std::snprintf(message, sizeof message, "List index out of bounds (%d)",
                  static_cast<int>(index));
    throw std::out_of_range(message);
  }
  lines_.erase(lines_.begin() + index);
}

Text LineList::Get(std::int64_t index) const {
  if (index < 0 || index >= Count()) {
    char message[64];
    std::snprintf(message, sizeof message, "List index out of bounds (%d)",
                  static_cast<int>(index));
    throw std::out_of_range(message);
  }
  return lines_[static_cast<std::size_t>(index)];
}

void LineList::SetText(const Text& text) {
  lines_.clear();
  std::size_t i = 0;
  while (i < text.size() && text[i] != '\0') {
    Text line;
    while (i < text.size() && text[i] != '\r' && text[i] != '\n' && text[i] != '\0') {
      line.push_back(text[i]);
      ++i;
    }
    Add(line);
    if (i < text.size() && text[i] == '\r') ++i;
    if (i < text.size() && text[i] == '\n') ++i;
  }
}

Text LineList::GetText() const {
  Text text;
  for (const Text& line : lines_) text += line + "\r\n";
  return text;
}

Text ScanForm(const Text& page, Text& formAction) {
  Text result;
  const std::int64_t f = TextFind("<FORM", page);
  if (f == 0) return result;
  Text form = TextCopy(page, f, kToEnd);
  const std::int64_t e = TextFind("</FORM", form);
  if (e == 0) return result;
  form = TextCopy(form, 1, e - 1);
  const std::int64_t a = TextFind("ACTION=\"", form);
  if (a == 0) return result;
  const Text action = TextCopy(form, a + 8, 256);
  const std::int64_t q = TextFind("\"", action);
  if (q == 0) return result;
  formAction = TextCopy(action, 1, q - 1);

  LineList list;
  Text rest = form;
  std::int64_t p = TextFind("<INPUT", rest);
  while (p > 0) {
    rest = TextCopy(rest, p + 6, kToEnd);
    Text name;
    Text value;
    const std::int64_t n = TextFind("NAME=\"", rest);
    if (n > 0) {
      name = TextCopy(rest, n + 6, kToEnd);
      name = TextCopy(name, 1, TextFind("\"", name) - 1);
    }
    const std::int64_t v = TextFind("VALUE=\"", rest);
    if (v > 0) {
      value = TextCopy(rest, v + 7, kToEnd);
      value = TextCopy(value, 1, TextFind("\"", value) - 1);
    }
    if (!name.empty()) list.Add(name + "=" + value);
    p = TextFind("<INPUT", rest);
  }
  result = list.GetText();
  return result;
}

Result ResolveDirectLink(Host& host, State& state, const LeadByteSet& leadBytes) {
  Result result;
  state.formAction = Text();
  Text page = host.GetPage();
  if (page.empty()) return result;

  LineList list;
  Text params = ScanForm(page, state.formAction);
  list.SetText(params);
  params = list.GetText();
  if (params.empty()) return result;

  for (std::int64_t index = list.Count() - 1; index >= 0; --index) {
    if (TextFind("premium", AnsiLower(list.Get(index))) > 0) list.Delete(index);
  }
  if (state.debugMode) {
    host.Log("\xD1\xF1\xFB\xEB\xEA\xE0 \xE4\xEB\xFF POST: " + state.formAction);
    host.Log("\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB POST:\n" + list.GetText());
  }
  page = host.PostForm(state.formAction, list.GetText());

  if (TextFind("Invalid download link</b></p>", page) > 0) return {Kind::kNotFound, Text()};
  if (TextFind("Fehlerhafter Downloadlink", page) > 0) return {Kind::kDeleted, Text()};
  if (state.debugMode) host.SaveFile(state.dumpDir + "Dornix.html", page);

  const std::int64_t m = TextFind("Your download link", page);
  if (m == 0) return result;
  const std::int64_t k = TextLastDelimiter("\n", TextCopy(page, 1, m - 1), leadBytes);
  page = TextCopy(page, k, kToEnd);
  const std::int64_t h = TextFind("HREF=\"", page);
  if (h == 0) return result;
  page = TextCopy(page, h + 6, kToEnd);
  const std::int64_t e = TextFind("\"", page);
  if (e == 0) return result;
  page = TextCopy(page, 1, e - 1);
  return {Kind::kLink, page};
}

}  // namespace velmora::literal
