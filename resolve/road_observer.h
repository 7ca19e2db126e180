// Watching one request on its road: what each step of the form scanner and
// the resolver found, told as the step finds it. velmora-host explain runs
// the resolver's own functions with an observer to say why a link resolved
// the way it did. The plugin runs them unwatched: the same code, compiled
// with Unwatched, whose empty calls inline away.
#ifndef VELMORA_RESOLVE_ROAD_OBSERVER_H_
#define VELMORA_RESOLVE_ROAD_OBSERVER_H_

#include <cstddef>
#include <string_view>

namespace velmora {

// One "<INPUT" as ScanFields visits it. Offsets count from the start of the
// form ("<FORM"); npos for a marker that is not there.
struct InputSeen {
  std::size_t input = 0;    // the "<INPUT" marker
  std::size_t nameAt = 0;   // the NAME=" the field takes its name after
  bool nameClosed = false;  // the closing quote of that name was found
  std::size_t valueAt = 0;  // the VALUE=" likewise
  bool valueClosed = false;
  std::string_view name;  // as taken (empty: the field is skipped)
  std::string_view value;
};

// Why the parameter lines end before the last field.
enum class FieldsEnd {
  kNul,       // a NUL byte in a field ends the text
  kTooLarge,  // the fields went past kMaxFieldBytes
};

// Every call has an empty default; offsets are byte offsets from the start
// of the text the step searches (page or answer), npos when not found.
class RoadObserver {
 public:
  // FindForm: the first "<FORM"; the "</FORM" after it; the ACTION=" in the
  // form and the length of the action (npos when no closing quote stands
  // within kMaxActionBytes + 1 bytes after it).
  virtual void FormOpen(std::size_t /*at*/) {}
  virtual void FormClose(std::size_t /*at*/) {}
  virtual void Action(std::size_t /*at*/, std::size_t /*length*/) {}
  // ScanFields: every "<INPUT" of the form, in order.
  virtual void Input(const InputSeen& /*input*/) {}
  // The premium filter: every line an accepted field splits into, with the
  // offset of "premium" in its lower-cased bytes (npos: the line is kept).
  virtual void ParamLine(std::string_view /*line*/, std::size_t /*premiumAt*/) {}
  virtual void FieldsEnded(FieldsEnd /*why*/) {}
  // The answer: each error marker searched for, where it stands.
  virtual void AnswerMarker(std::string_view /*marker*/, std::size_t /*at*/) {}
  // The link search: "Your download link", the line break the HREF="
  // search starts from (npos: the answer's start), the HREF=", the length of
  // the link (npos: no closing quote). Later values are npos once one is.
  virtual void LinkSearch(std::size_t /*markerAt*/, std::size_t /*lineBreak*/,
                          std::size_t /*hrefAt*/, std::size_t /*length*/) {}

 protected:
  ~RoadObserver() = default;
};

// The two ways the steps are compiled: unwatched for the plugin, watched for
// whoever passes a RoadObserver.
struct Unwatched {
  void FormOpen(std::size_t) {}
  void FormClose(std::size_t) {}
  void Action(std::size_t, std::size_t) {}
  void Input(const InputSeen&) {}
  void ParamLine(std::string_view, std::size_t) {}
  void FieldsEnded(FieldsEnd) {}
  void AnswerMarker(std::string_view, std::size_t) {}
  void LinkSearch(std::size_t, std::size_t, std::size_t, std::size_t) {}
};

struct Watched {
  RoadObserver& observer;
  void FormOpen(std::size_t at) { observer.FormOpen(at); }
  void FormClose(std::size_t at) { observer.FormClose(at); }
  void Action(std::size_t at, std::size_t length) { observer.Action(at, length); }
  void Input(const InputSeen& input) { observer.Input(input); }
  void ParamLine(std::string_view line, std::size_t premiumAt) {
    observer.ParamLine(line, premiumAt);
  }
  void FieldsEnded(FieldsEnd why) { observer.FieldsEnded(why); }
  void AnswerMarker(std::string_view marker, std::size_t at) { observer.AnswerMarker(marker, at); }
  void LinkSearch(std::size_t markerAt, std::size_t lineBreak, std::size_t hrefAt,
                  std::size_t length) {
    observer.LinkSearch(markerAt, lineBreak, hrefAt, length);
  }
};

}  // namespace velmora

#endif  // VELMORA_RESOLVE_ROAD_OBSERVER_H_
