// velmora-host explain: why a link resolved the way it did, step by step.
// The road is told by the resolver's own functions (resolve/), run with an
// observer on the page and the answer the plugin got; this file adds only
// what the exact rules ignore: near misses, as hints.
#ifndef VELMORA_HOST_EXPLAIN_EXPLAIN_H_
#define VELMORA_HOST_EXPLAIN_EXPLAIN_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "resolve/link_resolver.h"
#include "resolve/road_observer.h"

namespace velmora::host {

inline constexpr size_t kNowhere = std::string::npos;

// The steps of the road, in order; their names are the failedStep values.
enum class Step { kPage, kForm, kFormEnd, kAction, kFields, kPost, kAnswer, kLink };
const char* StepName(Step step);

// The text an offset counts in.
enum class Where { kPage, kAnswer };

// Byte offsets (from 0) and 1-based line numbers of one text.
class LineIndex {
 public:
  explicit LineIndex(std::string_view text);
  size_t LineOf(size_t offset) const;
  size_t LineStart(size_t line) const;  // the offset the 1-based line starts at

 private:
  std::vector<size_t> breaks_;  // offsets of LF
};

// A near miss the exact rules pass over: a marker in another letter case,
// with single quotes or spaces around "=", a second "<FORM", an action just
// over the limit, an HREF=" on the line before the marker...
struct Hint {
  Step step;
  std::string kind;
  Where in;
  size_t offset;
  size_t length;  // the bytes shown highlighted
  std::string message;
};

// Something worth knowing about one field; Road::NoteMessage words it.
struct FieldNote {
  std::string_view kind;  // "borrowed-name", "line-break"... (a literal)
  size_t at = kNowhere;   // borrowed: the tag lent from; suffix: where the attribute starts
};

struct ParamLineRoad {
  std::string text;
  size_t premiumAt = kNowhere;  // where the filter found "premium" (dropped)
};

// One "<INPUT"; offsets in the page. Its name and value are bytes of the
// page (Road::NameOf, Road::ValueOf), so inputs that borrow one share it.
struct FieldRoad {
  size_t input = 0;
  size_t tagEnd = 0;  // the end of its tag: its ">", the next "<INPUT" or the form's end
  size_t nameAt = kNowhere;
  size_t nameBytes = 0;  // 0: no name, the field is skipped
  size_t valueAt = kNowhere;
  size_t valueBytes = 0;
  bool nameClosed = false;
  bool valueClosed = false;
  std::vector<FieldNote> notes;
  std::vector<ParamLineRoad> lines;  // for a field with a name
};

struct Road {
  std::string page;    // as the plugin got it
  std::string answer;  // likewise; empty when there was no POST
  size_t formAt = kNowhere;
  size_t formEndAt = kNowhere;
  size_t openTagEnd = kNowhere;  // the ">" of the opening form tag
  size_t actionAt = kNowhere;
  size_t actionLength = kNowhere;
  std::string action;
  std::vector<FieldRoad> fields;
  std::optional<FieldsEnd> fieldsEnded;
  bool posted = false;
  std::string params;  // as the resolver would post them
  size_t invalidAt = kNowhere;
  size_t faultyAt = kNowhere;
  bool faultySearched = false;
  bool linkSearched = false;
  size_t markerAt = kNowhere;
  size_t lineBreak = kNowhere;
  size_t hrefAt = kNowhere;
  size_t linkLength = kNowhere;
  Verdict verdict = Verdict::kNoLink;
  std::string link;

  // Where the road ended short of a link; none for a link or a site verdict.
  std::optional<Step> failedStep;
  Where failureIn = Where::kPage;
  size_t failureAt = kNowhere;
  std::string failure;  // the sentence
  std::vector<Hint> hints;

  // The plugin's text for this verdict: the link, "%notfound%", "%deleted%", "".
  std::string PluginText() const;
  std::string_view NameOf(const FieldRoad& field) const;
  std::string_view ValueOf(const FieldRoad& field) const;
  // The sentence of a note on field.
  std::string NoteMessage(const FieldRoad& field, const FieldNote& note) const;
  void Fail(Step step, Where in, size_t at, std::string sentence);
};

// Runs the resolver's steps on page and answer (each as the plugin got it,
// up to any NUL) and tells the road with its hints.
Road ExplainTexts(std::string_view page, std::string_view answer);

// What the loaded plugin did with the same link.
struct PluginRoad {
  std::string result;  // its text
  bool posted = false;
  std::string postBody;  // as sent, form-encoded
};

// Empty when the road and the plugin agree on the result and the POST;
// otherwise the sentence that says how they differ.
std::string Disagreement(const Road& road, const PluginRoad& plugin);

}  // namespace velmora::host

#endif  // VELMORA_HOST_EXPLAIN_EXPLAIN_H_
