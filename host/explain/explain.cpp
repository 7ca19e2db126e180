#include "host/explain/explain.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "host/explain/near_misses.h"
#include "host/net/form_encoding.h"
#include "resolve/form_scanner.h"

namespace velmora::host {
namespace {

// The attribute a marker such as NAME=" stands for: NAME.
constexpr std::string_view AttributeOf(std::string_view marker) {
  return marker.substr(0, marker.size() - 2);
}
// The invalid-link marker's words without its tags.
constexpr std::string_view kInvalidText =
    kInvalidLinkMarker.substr(0, kInvalidLinkMarker.find('<'));

std::string Bytes(size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// Collects what ResolveDirectLink tells, in page and answer offsets.
class RoadWatcher final : public RoadObserver {
 public:
  explicit RoadWatcher(Road& road) : road_(road) {}

  void FormOpen(size_t at) override { road_.formAt = at; }
  void FormClose(size_t at) override {
    road_.formEndAt = at;
    if (at == kNpos) return;
    // One field per "<INPUT" of the form: room for all at once, not moved as they come.
    const std::string_view form = std::string_view(road_.page).substr(0, at);
    size_t inputs = 0;
    for (size_t p = form.find(kInputMarker, road_.formAt); p != std::string_view::npos;
         p = form.find(kInputMarker, p + kInputMarker.size())) {
      ++inputs;
    }
    road_.fields.reserve(inputs);
  }
  void Action(size_t at, size_t length) override {
    road_.actionAt = at;
    road_.actionLength = length;
  }
  void Input(const InputSeen& seen) override {
    const size_t base = road_.formAt;
    FieldRoad field;
    field.input = base + seen.input;
    field.nameAt = seen.nameAt == kNpos ? kNowhere : base + seen.nameAt;
    field.nameClosed = seen.nameClosed;
    field.valueAt = seen.valueAt == kNpos ? kNowhere : base + seen.valueAt;
    field.valueClosed = seen.valueClosed;
    field.nameBytes = seen.name.size();
    field.valueBytes = seen.value.size();
    road_.fields.push_back(std::move(field));
  }
  void ParamLine(std::string_view line, size_t premiumAt) override {
    if (road_.fields.empty()) return;
    road_.fields.back().lines.push_back(
        {std::string(line), premiumAt == kNpos ? kNowhere : premiumAt});
  }
  void FieldsEnded(FieldsEnd why) override { road_.fieldsEnded = why; }
  void AnswerMarker(std::string_view marker, size_t at) override {
    if (marker == kInvalidLinkMarker) {
      road_.invalidAt = at;
    } else {
      road_.faultyAt = at;
      road_.faultySearched = true;
    }
  }
  void LinkSearch(size_t markerAt, size_t lineBreak, size_t hrefAt, size_t length) override {
    road_.linkSearched = true;
    road_.markerAt = markerAt;
    road_.lineBreak = lineBreak;
    road_.hrefAt = hrefAt;
    road_.linkLength = length;
  }

 private:
  Road& road_;
};

// Serves the two texts to the resolver and keeps what it posts.
class TextHost final : public ResolverHost {
 public:
  TextHost(Road& road) : road_(road) {}
  void GetPage(std::string& page) override { page = road_.page; }
  void PostForm(const std::string&, const std::string& params, std::string& answer) override {
    road_.posted = true;
    road_.params = params;
    answer = road_.answer;
  }
  void Log(const std::string&) override {}
  void SaveFile(const std::string&, const std::string&) override {}

 private:
  Road& road_;
};

bool IsAttributeByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == ':';
}

// The two attributes a field takes, and the kinds of their notes.
struct Attribute {
  const char* what;
  std::string_view marker;
  std::string_view borrowed, suffix, unclosed, runsOn;
};
constexpr Attribute kName{"name",        kNameMarker,     "borrowed-name",
                          "name-suffix", "unclosed-name", "runs-on-name"};
constexpr Attribute kValue{"value",        kValueMarker,     "borrowed-value",
                           "value-suffix", "unclosed-value", "runs-on-value"};
constexpr std::string_view kLineBreak = "line-break";

// The most bytes of a longer attribute's name a suffix note quotes.
constexpr size_t kWordShown = 64;

// What the notes need from the page about one NAME=" or VALUE=", worked out
// once for all the inputs that take it: inputs that borrow it come in a row.
struct AttributeLook {
  size_t at = kNowhere;
  size_t tag = kNowhere;        // the "<" of the tag it stands in
  size_t wordStart = kNowhere;  // a longer attribute name ending in it: where it starts
  bool runsOn = false;
};

AttributeLook LookAt(std::string_view page, const Attribute& attribute, size_t at, bool closed,
                     size_t bytes) {
  AttributeLook look;
  look.at = at;
  const size_t open = page.rfind('<', at);
  look.tag = open == std::string_view::npos ? at : open;
  if (at > 0 && IsAttributeByte(page[at - 1])) {
    size_t start = at - 1;
    while (start > 0 && at - start < kWordShown && IsAttributeByte(page[start - 1])) --start;
    look.wordStart = start;
  }
  const std::string_view taken = page.substr(at + attribute.marker.size(), bytes);
  look.runsOn = closed && (taken.find_first_of("<>") != std::string_view::npos ||
                           (&attribute == &kName && taken.find_first_of("=\"' ") != kNowhere) ||
                           (taken.size() > 1 && taken.back() == '=' &&
                            std::isupper(static_cast<unsigned char>(taken[taken.size() - 2]))));
  return look;
}

// The notes on one attribute of a field: where it came from, and whether it
// is what its tag meant.
void NoteAttribute(std::string_view page, const Attribute& attribute, size_t at, bool closed,
                   size_t bytes, const FieldRoad& field, AttributeLook& look,
                   std::vector<FieldNote>& notes) {
  if (at == kNowhere) return;
  if (at != look.at) look = LookAt(page, attribute, at, closed, bytes);
  if (at >= field.tagEnd) notes.push_back({attribute.borrowed, look.tag});
  if (look.wordStart != kNowhere) notes.push_back({attribute.suffix, look.wordStart});
  if (!closed) {
    notes.push_back({attribute.unclosed});
  } else if (look.runsOn) {
    notes.push_back({attribute.runsOn});
  }
}

void ExplainForm(Road& road) {
  const std::string_view page = road.page;
  if (road.formAt == kNowhere) {
    road.Fail(Step::kForm, Where::kPage, kNowhere,
              "no \"<FORM\" in the page (" + Bytes(page.size()) + ")");
    HintOtherCase(road, Step::kForm, Where::kPage, page, kFormOpenMarker, 0, page.size(),
                  "the rule matches upper case only");
    return;
  }
  const size_t close = page.find('>', road.formAt);
  road.openTagEnd = close == std::string_view::npos ? kNowhere : close;
  // A second "<FORM": inside the form text it means the first form has no
  // closing marker of its own.
  const size_t second = page.find(kFormOpenMarker, road.formAt + kFormOpenMarker.size());
  if (road.formEndAt == kNowhere) {
    road.Fail(Step::kFormEnd, Where::kPage, road.formAt,
              "no \"</FORM\" after the \"<FORM\" at byte " + std::to_string(road.formAt));
    HintOtherCase(road, Step::kFormEnd, Where::kPage, page, kFormCloseMarker, road.formAt,
                  page.size(), "the rule matches upper case only");
    if (second != std::string_view::npos) {
      road.hints.push_back({Step::kFormEnd, "second-form", Where::kPage, second,
                            kFormOpenMarker.size(),
                            "a second \"<FORM\" at byte " + std::to_string(second) +
                                " has no \"</FORM\" either; only the first form counts"});
    }
    return;
  }
  if (second != std::string_view::npos && second < road.formEndAt) {
    road.hints.push_back(
        {Step::kFormEnd, "second-form", Where::kPage, second, kFormOpenMarker.size(),
         "a second \"<FORM\" at byte " + std::to_string(second) +
             " stands before the \"</FORM\" "
             "at byte " +
             std::to_string(road.formEndAt) +
             ": the first form has no \"</FORM\" of its "
             "own, so the form runs on through the second and takes its fields too"});
  }
}

void ExplainAction(Road& road) {
  const std::string_view page = road.page;
  if (road.actionAt == kNowhere) {
    road.Fail(Step::kAction, Where::kPage, road.formAt,
              "no ACTION=\" in the form (bytes " + std::to_string(road.formAt) + " to " +
                  std::to_string(road.formEndAt) + ")");
    HintNearAttribute(road, Step::kAction, Where::kPage, page, AttributeOf(kActionMarker),
                      road.formAt, road.formEndAt);
    const size_t second = page.find(kFormOpenMarker, road.formEndAt);
    if (second != std::string_view::npos) {
      road.hints.push_back({Step::kAction, "second-form", Where::kPage, second,
                            kFormOpenMarker.size(),
                            "a second \"<FORM\" at byte " + std::to_string(second) +
                                ", after the first form's \"</FORM\": only the first form is "
                                "used"});
    }
    return;
  }
  if (road.actionLength == kNowhere) {
    const size_t valueAt = road.actionAt + kActionMarker.size();
    const size_t quote = page.find('"', valueAt);
    if (quote != std::string_view::npos && quote < road.formEndAt) {
      road.Fail(Step::kAction, Where::kPage, road.actionAt,
                "the action after ACTION=\" at byte " + std::to_string(road.actionAt) + " is " +
                    Bytes(quote - valueAt) + " long, over the limit of " +
                    std::to_string(kMaxActionBytes));
      road.hints.push_back({Step::kAction, "over-limit", Where::kPage, quote, 1,
                            "its closing quote stands at byte " + std::to_string(quote) + ", " +
                                std::to_string(quote - valueAt - kMaxActionBytes) +
                                " byte(s) past the limit of " + std::to_string(kMaxActionBytes)});
    } else {
      road.Fail(Step::kAction, Where::kPage, road.actionAt,
                "ACTION=\" at byte " + std::to_string(road.actionAt) +
                    " has no closing quote before the end of the form");
    }
  }
}

void ExplainFields(Road& road) {
  const std::string_view page = road.page;
  AttributeLook name, value;
  std::vector<FieldNote> notes;  // one field's, then copied in one allocation
  for (size_t i = 0; i < road.fields.size(); ++i) {
    FieldRoad& field = road.fields[i];
    const size_t next = i + 1 < road.fields.size() ? road.fields[i + 1].input : road.formEndAt;
    // Not past the next input: a form of tags without ">" would be searched to its end each time.
    const size_t close = page.substr(0, next).find('>', field.input);
    field.tagEnd = std::min(next, close == std::string_view::npos ? road.formEndAt : close);
    notes.clear();
    NoteAttribute(page, kName, field.nameAt, field.nameClosed, field.nameBytes, field, name, notes);
    NoteAttribute(page, kValue, field.valueAt, field.valueClosed, field.valueBytes, field, value,
                  notes);
    if (field.lines.size() > 1) notes.push_back({kLineBreak});
    field.notes.assign(notes.begin(), notes.end());
  }
  if (road.posted) return;
  if (road.fieldsEnded == FieldsEnd::kTooLarge) {
    road.Fail(Step::kFields, Where::kPage, road.formAt,
              "the fields add up to more than " + std::to_string(kMaxFieldBytes >> 20) +
                  " MiB of parameter lines (names borrowed over and over): the form is unusable");
    return;
  }
  if (road.fields.empty()) {
    road.Fail(Step::kFields, Where::kPage, road.formAt,
              "no \"<INPUT\" in the form (bytes " + std::to_string(road.formAt) + " to " +
                  std::to_string(road.formEndAt) + ")");
    HintOtherCase(road, Step::kFields, Where::kPage, page, kInputMarker, road.formAt,
                  road.formEndAt, "the rule matches upper case only");
    return;
  }
  road.Fail(Step::kFields, Where::kPage, road.fields.front().input,
            "none of the " + std::to_string(road.fields.size()) +
                " \"<INPUT\" markers gets a name: no NAME=\" with a closing quote follows them in "
                "the form");
  HintNearAttribute(road, Step::kFields, Where::kPage, page, AttributeOf(kNameMarker), road.formAt,
                    road.formEndAt);
}

void ExplainAnswer(Road& road) {
  const std::string_view answer = road.answer;
  if (road.invalidAt != kNowhere) {
    road.verdict = Verdict::kNotFound;
    return;
  }
  if (road.faultyAt != kNowhere) {
    road.verdict = Verdict::kDeleted;
    return;
  }
  // A marker that nearly holds: the invalid-link text without its tags, or
  // any of the three in another letter case.
  for (size_t at = answer.find(kInvalidText); at != std::string_view::npos;
       at = answer.find(kInvalidText, at + 1)) {
    road.hints.push_back({Step::kAnswer, "incomplete-marker", Where::kAnswer, at,
                          kInvalidText.size(),
                          "\"Invalid download link\" at byte " + std::to_string(at) +
                              " is not followed by "
                              "\"</b></p>\": the rule wants " +
                              Quoted(kInvalidLinkMarker) + " byte for byte"});
    break;
  }
  HintOtherCase(road, Step::kAnswer, Where::kAnswer, answer, kInvalidText, 0, answer.size(),
                "the invalid-link rule matches as written only");
  HintOtherCase(road, Step::kAnswer, Where::kAnswer, answer, kFaultyLinkMarker, 0, answer.size(),
                "the faulty-link rule matches as written only");
  if (road.markerAt == kNowhere) {
    if (answer.empty()) {
      road.Fail(Step::kAnswer, Where::kAnswer, kNowhere, "the answer to the POST is empty");
    } else {
      road.Fail(Step::kAnswer, Where::kAnswer, kNowhere,
                "the answer (" + Bytes(answer.size()) + ") holds neither error marker nor " +
                    Quoted(kLinkLineMarker));
    }
    HintOtherCase(road, Step::kAnswer, Where::kAnswer, answer, kLinkLineMarker, 0, answer.size(),
                  "the rule matches as written only");
  }
}

void ExplainLink(Road& road) {
  const std::string_view answer = road.answer;
  if (road.markerAt == kNowhere) return;
  const size_t lineStart = road.lineBreak == kNowhere ? 0 : road.lineBreak;
  // An HREF=" that ends before the marker's line: the search never sees it.
  const size_t before =
      lineStart == 0 ? std::string_view::npos : answer.rfind(kHrefMarker, lineStart - 1);
  if (before != std::string_view::npos) {
    const LineIndex lines(answer);
    const size_t markerLine = lines.LineOf(road.markerAt);
    const size_t hrefLine = lines.LineOf(before);
    road.hints.push_back(
        {Step::kLink, "href-before-marker", Where::kAnswer, before, kHrefMarker.size(),
         "HREF=\" at byte " + std::to_string(before) + " stands on line " +
             std::to_string(hrefLine) +
             (hrefLine + 1 == markerLine ? ", the line before the marker"
                                         : ", before the marker's line") +
             ": the search starts at the marker's line (" + std::to_string(markerLine) + ")"});
  }
  if (road.hrefAt == kNowhere) {
    road.Fail(Step::kLink, Where::kAnswer, lineStart,
              "no HREF=\" from the start of the marker's line (byte " + std::to_string(lineStart) +
                  ") to the end of the answer");
    HintNearAttribute(road, Step::kLink, Where::kAnswer, answer, AttributeOf(kHrefMarker),
                      lineStart, answer.size());
    return;
  }
  if (road.linkLength == kNowhere) {
    road.Fail(Step::kLink, Where::kAnswer, road.hrefAt,
              "HREF=\" at byte " + std::to_string(road.hrefAt) + " has no closing quote");
    return;
  }
  if (road.link.empty()) {
    road.Fail(Step::kLink, Where::kAnswer, road.hrefAt,
              "the link after HREF=\" at byte " + std::to_string(road.hrefAt) +
                  " is empty: nothing a download can use");
    return;
  }
  // The host reads the plugin's answer, not where it came from: a link that
  // is itself a marker's text is that marker's verdict.
  const bool notFound = road.link == "%notfound%";
  if (notFound || road.link == "%deleted%") {
    road.verdict = notFound ? Verdict::kNotFound : Verdict::kDeleted;
    road.hints.push_back({Step::kLink, "marker-as-link", Where::kAnswer, road.hrefAt,
                          kHrefMarker.size() + road.link.size(),
                          "the link is the text " + road.link +
                              ", which the host reads as the site's verdict: " +
                              (notFound ? "link invalid" : "download link faulty")});
  }
}

}  // namespace

const char* StepName(Step step) {
  switch (step) {
    case Step::kPage: return "page";
    case Step::kForm: return "form";
    case Step::kFormEnd: return "formEnd";
    case Step::kAction: return "action";
    case Step::kFields: return "fields";
    case Step::kPost: return "post";
    case Step::kAnswer: return "answer";
    case Step::kLink: return "link";
  }
  return "page";
}

LineIndex::LineIndex(std::string_view text) {
  for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
    breaks_.push_back(at);
  }
}

size_t LineIndex::LineOf(size_t offset) const {
  return 1 + static_cast<size_t>(std::lower_bound(breaks_.begin(), breaks_.end(), offset) -
                                 breaks_.begin());
}

size_t LineIndex::LineStart(size_t line) const {
  return line <= 1 ? 0 : line - 2 < breaks_.size() ? breaks_[line - 2] + 1 : kNowhere;
}

std::string Road::PluginText() const {
  switch (verdict) {
    case Verdict::kNotFound: return "%notfound%";
    case Verdict::kDeleted: return "%deleted%";
    case Verdict::kLink: return link;
    case Verdict::kNoLink: break;
  }
  return {};
}

std::string_view Road::NameOf(const FieldRoad& field) const {
  if (field.nameAt == kNowhere) return {};
  return std::string_view(page).substr(field.nameAt + kNameMarker.size(), field.nameBytes);
}

std::string_view Road::ValueOf(const FieldRoad& field) const {
  if (field.valueAt == kNowhere) return {};
  return std::string_view(page).substr(field.valueAt + kValueMarker.size(), field.valueBytes);
}

std::string Road::NoteMessage(const FieldRoad& field, const FieldNote& note) const {
  // Appended piece by piece: a form of many borrowing inputs words thousands.
  std::string m;
  m.reserve(128);
  const auto number = [&m](size_t n) {
    char digits[24];
    m.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
  };
  if (note.kind == kLineBreak) {
    m += "a CR or LF in it splits the field into ";
    number(field.lines.size());
    m += " parameter lines";
    return m;
  }
  const bool ofName = note.kind.find("name") != std::string_view::npos;
  const Attribute& a = ofName ? kName : kValue;
  const std::string_view attribute = a.marker;  // NAME=" or VALUE="
  const size_t at = ofName ? field.nameAt : field.valueAt;
  if (note.kind == a.borrowed) {
    // A later field starts at that tag: fields stand in the order of their inputs.
    const auto later = std::lower_bound(
        fields.begin(), fields.end(), note.at,
        [](const FieldRoad& other, size_t offset) { return other.input < offset; });
    const bool input = note.at > field.input && later != fields.end() && later->input == note.at;
    m.append("no ").append(attribute).append(" in its own tag: the ").append(a.what);
    m.append(" is borrowed from ").append(input ? "the later <INPUT" : "a later tag");
    m += " at byte ";
    number(note.at);
    m.append(" (").append(attribute).append(" at byte ");
    number(at);
    m += ')';
  } else if (note.kind == a.suffix) {
    const bool cut = note.at > 0 && IsAttributeByte(page[note.at - 1]);
    m.append("the ").append(a.what).append(" is taken from ").append(cut ? "..." : "");
    m.append(std::string_view(page).substr(note.at, at - note.at + attribute.size()));
    m.append(", an attribute whose name merely ends in ")
        .append(attribute.substr(0, attribute.size() - 2));
  } else if (note.kind == a.unclosed) {
    m.append(attribute).append(" at byte ");
    number(at);
    m.append(" has no closing quote before the end of the form: the ").append(a.what);
    m += " is empty";
  } else {
    m.append("the ").append(a.what).append(" runs on to the next double quote, at byte ");
    number(at + attribute.size() + (ofName ? field.nameBytes : field.valueBytes));
    m += ": its own closing quote seems to be missing";
  }
  return m;
}

void Road::Fail(Step step, Where in, size_t at, std::string sentence) {
  failedStep = step;
  failureIn = in;
  failureAt = at;
  failure = std::move(sentence);
}

Road ExplainTexts(std::string_view page, std::string_view answer) {
  Road road;
  road.page = std::string(page.substr(0, page.find('\0')));
  road.answer = std::string(answer.substr(0, answer.find('\0')));
  RoadWatcher watcher(road);
  TextHost host(road);
  RequestBuffers buffers;
  const Resolution resolution = ResolveDirectLink(host, {}, buffers, watcher);
  road.verdict = resolution.verdict;
  road.link = std::string(resolution.link);
  road.action = buffers.formAction;
  if (!road.posted) road.answer.clear();  // nothing was asked for

  if (road.page.empty()) {
    road.Fail(Step::kPage, Where::kPage, kNowhere, "the page is empty");
    return road;
  }
  ExplainForm(road);
  if (road.failedStep) return road;
  ExplainAction(road);
  if (road.failedStep) return road;
  ExplainFields(road);
  if (road.failedStep) return road;
  ExplainAnswer(road);
  if (road.failedStep || road.verdict == Verdict::kNotFound || road.verdict == Verdict::kDeleted) {
    return road;
  }
  ExplainLink(road);
  return road;
}

std::string Disagreement(const Road& road, const PluginRoad& plugin) {
  const std::string expected = road.PluginText();
  if (plugin.result != expected) {
    return "the loaded plugin gave " + Quoted(plugin.result) + ", but the resolver's steps give " +
           Quoted(expected) + " for the same page and answer";
  }
  if (plugin.posted != road.posted) {
    return plugin.posted ? "the loaded plugin posted the form, but the resolver's steps stop "
                           "before the POST"
                         : "the resolver's steps post the form, but the loaded plugin did not";
  }
  if (plugin.posted) {
    const std::string body = EncodeFormBody(road.params);
    if (body != plugin.postBody) {
      size_t at = 0;
      while (at < body.size() && at < plugin.postBody.size() && body[at] == plugin.postBody[at]) {
        ++at;
      }
      return "the loaded plugin posted other parameters than the resolver's steps (first "
             "difference at byte " +
             std::to_string(at) + " of the body)";
    }
  }
  return {};
}

}  // namespace velmora::host
