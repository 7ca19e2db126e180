#include "host/explain/near_misses.h"

#include <algorithm>
#include <vector>

namespace velmora::host {
namespace {

// std::tolower in the C locale, which velmora-host never leaves, inlined: it
// runs at every byte of the texts searched.
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNoCase(std::string_view text, size_t at, std::string_view word) {
  if (at + word.size() > text.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (Lower(text[at + i]) != Lower(word[i])) return false;
  }
  return true;
}

}  // namespace

size_t FindOtherCase(std::string_view text, std::string_view word, size_t from, size_t to) {
  to = std::min(to, text.size());
  const char first = Lower(word[0]);
  for (size_t at = from; at < to && at + word.size() <= text.size(); ++at) {
    if (Lower(text[at]) != first) continue;
    if (SameNoCase(text, at, word) && text.compare(at, word.size(), word) != 0) return at;
  }
  return kNowhere;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// An attribute written near the exact marker WORD=" : another letter case,
// blanks around "=", a single quote. Reasons in words, or none.
struct NearAttribute {
  size_t at = kNowhere;
  size_t length = 0;
  std::string written;
  std::string reasons;
};

NearAttribute FindNearAttribute(std::string_view text, std::string_view word, size_t from,
                                size_t to) {
  to = std::min(to, text.size());
  const char first = Lower(word[0]);
  for (size_t at = from; at < to; ++at) {
    if (Lower(text[at]) != first || !SameNoCase(text, at, word)) continue;
    size_t p = at + word.size();
    const size_t beforeEquals = p;
    while (p < text.size() && IsBlank(text[p])) ++p;
    const bool spaceBefore = p > beforeEquals;
    if (p >= text.size() || text[p] != '=') continue;
    ++p;
    const size_t afterEquals = p;
    while (p < text.size() && IsBlank(text[p])) ++p;
    const bool spaceAfter = p > afterEquals;
    if (p >= text.size() || (text[p] != '"' && text[p] != '\'')) continue;
    const bool otherCase = text.compare(at, word.size(), word) != 0;
    const bool single = text[p] == '\'';
    if (!otherCase && !single && !spaceBefore && !spaceAfter) continue;  // the marker itself
    NearAttribute near;
    near.at = at;
    near.length = p + 1 - at;
    near.written = std::string(text.substr(at, near.length));
    std::vector<std::string> reasons;
    if (otherCase) reasons.push_back("in another letter case");
    if (spaceBefore || spaceAfter) reasons.push_back("with blanks around \"=\"");
    if (single) reasons.push_back("with a single quote");
    for (size_t i = 0; i < reasons.size(); ++i) {
      near.reasons += (i == 0 ? "" : i + 1 == reasons.size() ? " and " : ", ") + reasons[i];
    }
    return near;
  }
  return {};
}

std::string KindOf(const NearAttribute& near) {
  if (near.reasons.find("letter case") != std::string::npos) return "letter-case";
  if (near.reasons.find("blanks") != std::string::npos) return "spaces";
  return "single-quote";
}

}  // namespace

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

void HintOtherCase(Road& road, Step step, Where in, std::string_view text, std::string_view word,
                   size_t from, size_t to, const std::string& rule) {
  const size_t at = FindOtherCase(text, word, from, to);
  if (at == kNowhere) return;
  road.hints.push_back({step, "letter-case", in, at, word.size(),
                        Quoted(text.substr(at, word.size())) + " at byte " + std::to_string(at) +
                            " is " + Quoted(word) + " in another letter case; " + rule});
}

void HintNearAttribute(Road& road, Step step, Where in, std::string_view text,
                       std::string_view word, size_t from, size_t to) {
  const NearAttribute near = FindNearAttribute(text, word, from, to);
  if (near.at == kNowhere) return;
  road.hints.push_back({step, KindOf(near), in, near.at, near.length,
                        near.written + " at byte " + std::to_string(near.at) + " is " +
                            std::string(word) + "=\" " + near.reasons + "; the rule wants " +
                            std::string(word) +
                            "=\" exactly: upper case, no blanks, a double quote"});
}

}  // namespace velmora::host
