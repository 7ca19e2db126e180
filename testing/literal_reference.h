// A deliberately naive rendering of the text work, for tests, fuzzing and
// benchmarks only; it is never linked into the plugin. Every step copies,
// positions are 1-based with 0 for "not found", and each search starts from
// the beginning of the text it is given, exactly as the algorithms are
// written. The production code must give byte-identical results; the
// differential test and the fuzz targets hold it to that.
#ifndef VELMORA_TESTING_LITERAL_REFERENCE_H_
#define VELMORA_TESTING_LITERAL_REFERENCE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "resolve/ansi_platform.h"

namespace velmora::literal {

using Text = std::string;

// The count that asks TextCopy for the rest of a text.
inline constexpr std::int64_t kToEnd = 2147483647;

// The position (1-based, 0: none) of a 0-based offset (npos: none), to hold
// the production searches against the ones here.
inline std::int64_t ToPosition(std::size_t offset) {
  return offset == Text::npos ? 0 : static_cast<std::int64_t>(offset) + 1;
}

// Position of the first occurrence of sub in s; 0 when sub does not occur,
// when either text is empty, or sub is longer.
std::int64_t TextFind(const Text& sub, const Text& s);
// The part of s that starts at the 1-based index and is at most count bytes
// long. An index below 1 counts as 1; an index past the end, or a negative
// count, gives the empty text; a count past the end is cut at the end.
Text TextCopy(const Text& s, std::int64_t index, std::int64_t count);
std::int64_t TextLastDelimiter(const Text& delims, const Text& s, const LeadByteSet& leadBytes);
Text AnsiLower(const Text& s);

// One text per line, moved about on Delete like any array of strings. SetText
// splits as velmora::ForEachLine does; an index out of range throws
// std::out_of_range("List index out of bounds (N)").
class LineList {
 public:
  void Add(const Text& line) { lines_.push_back(line); }
  void Delete(std::int64_t index);
  Text Get(std::int64_t index) const;
  std::int64_t Count() const { return static_cast<std::int64_t>(lines_.size()); }
  void SetText(const Text& text);
  Text GetText() const;

 private:
  std::vector<Text> lines_;
};

// Returns the ParamText; sets formAction once the form and its action are found.
Text ScanForm(const Text& page, Text& formAction);

// The host as the resolver sees it; texts are counted (null comes as empty).
class Host {
 public:
  virtual ~Host() = default;
  virtual Text GetPage() = 0;
  virtual Text PostForm(const Text& url, const Text& params) = 0;
  virtual void Log(const Text& message) = 0;
  virtual void SaveFile(const Text& path, const Text& content) = 0;
};

struct State {
  bool debugMode = false;
  Text dumpDir;
  Text formAction;
};

enum class Kind { kEmpty, kNotFound, kDeleted, kLink };

struct Result {
  Kind kind = Kind::kEmpty;
  Text link;  // for kLink
};

Result ResolveDirectLink(Host& host, State& state, const LeadByteSet& leadBytes);

}  // namespace velmora::literal

#endif  // VELMORA_TESTING_LITERAL_REFERENCE_H_
