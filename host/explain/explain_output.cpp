#include "host/explain/explain_output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "host/io/terminal_text.h"
#include "resolve/form_scanner.h"

namespace velmora::host {
namespace {

constexpr char kRed[] = "\033[1;31m";
constexpr char kYellow[] = "\033[1;33m";
constexpr char kReset[] = "\033[0m";
constexpr size_t kLabel = 9;  // the column the step texts start at

// Columns of escaped text: one per code point (Shown leaves only ASCII and
// well-formed UTF-8).
size_t Columns(std::string_view shown) {
  size_t columns = 0;
  for (const char c : shown) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return columns;
}

// The escaped text cut to at most columns, "..." marking the cut.
std::string Fit(std::string_view shown, size_t columns) {
  if (Columns(shown) <= columns) return std::string(shown);
  const size_t keep = columns > 3 ? columns - 3 : 0;
  size_t at = 0, seen = 0;
  while (at < shown.size()) {
    const bool start = (static_cast<unsigned char>(shown[at]) & 0xC0) != 0x80;
    if (start && seen == keep) break;
    seen += start;
    ++at;
  }
  return std::string(shown.substr(0, at)) + "...";
}

// Columns take at most four bytes each (a UTF-8 sequence; an escaped byte
// takes four columns): bytes past that many never show.
size_t BytesShownIn(size_t columns) { return 4 * columns + 8; }

// Whether Shown leaves bytes as they are (printable ASCII, no backslash):
// most of what explain tells, which then needs no escaped copy.
bool Plain(std::string_view bytes) {
  for (const char c : bytes) {
    if (c < 0x20 || c > 0x7E || c == '\\') return false;
  }
  return true;
}

// bytes escaped, in escaped when they need it.
std::string_view ShownIn(std::string_view bytes, std::string& escaped) {
  if (Plain(bytes)) return bytes;
  escaped = Shown(bytes);
  return escaped;
}

// Appends bytes escaped and cut to at most columns, "..." marking the cut.
void AppendFitted(std::string& out, std::string_view bytes, size_t columns) {
  bytes = bytes.substr(0, BytesShownIn(columns));
  if (!Plain(bytes)) {
    out += Fit(Shown(bytes), columns);
  } else if (bytes.size() <= columns) {
    out.append(bytes);
  } else {
    out.append(bytes.substr(0, columns > 3 ? columns - 3 : 0)).append("...");
  }
}

std::string FitBytes(std::string_view bytes, size_t columns) {
  std::string out;
  AppendFitted(out, bytes, columns);
  return out;
}

// Appends the words of an escaped sentence, wrapped to width, the first
// starting at column first; later lines indented.
void AppendWrapped(std::string& out, std::string_view shown, size_t first, size_t indent,
                   size_t width) {
  const size_t room = width > indent + 10 ? width - indent : 10;
  const size_t begin = out.size();
  size_t column = first;
  size_t at = 0;
  std::string cut;
  while (at < shown.size()) {
    size_t end = shown.find(' ', at);
    if (end == std::string_view::npos) end = shown.size();
    std::string_view word = shown.substr(at, end - at);
    at = end + 1;
    size_t columns = Columns(word);
    if (columns > room) {
      cut = Fit(word, room);
      word = cut;
      columns = Columns(word);
    }
    if (column > indent && column + 1 + columns > width) {
      out.append(1, '\n').append(indent, ' ');
      column = indent;
    } else if (column > first || (column > indent && out.size() > begin)) {
      out += ' ';
      ++column;
    }
    out.append(word);
    column += columns;
  }
}

std::string Wrap(std::string_view shown, size_t first, size_t indent, size_t width) {
  std::string out;
  AppendWrapped(out, shown, first, indent, width);
  return out;
}

void AppendNumber(std::string& out, size_t n) {
  char digits[24];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, n);
  out.append(digits, end);
}

// One text's units for the excerpt: a printable character (ASCII, or a
// well-formed UTF-8 sequence), or one byte shown escaped.
struct Unit {
  size_t begin;
  size_t end;
  std::string shown;
};

std::vector<Unit> UnitsOf(std::string_view text, size_t from, size_t to) {
  std::vector<Unit> units;
  for (size_t at = from; at < to;) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    size_t length = 1;
    if (c >= 0xC2 && c <= 0xF4) length = c <= 0xDF ? 2 : c <= 0xEF ? 3 : 4;
    if (length > 1 && at + length <= text.size()) {
      const std::string_view sequence = text.substr(at, length);
      std::string shown = Shown(sequence);
      if (shown == sequence) {
        units.push_back({at, at + length, std::move(shown)});
        at += length;
        continue;
      }
    }
    units.push_back({at, at + 1, Shown(text.substr(at, 1))});
    ++at;
  }
  return units;
}

const char* MarkerColour(bool hint) { return hint ? kYellow : kRed; }

void AppendSpot(std::string& out, const LineIndex& lines, size_t at) {
  out += "byte ";
  AppendNumber(out, at);
  out += ", line ";
  AppendNumber(out, lines.LineOf(at));
}

std::string Spot(const LineIndex& lines, size_t at) {
  std::string spot;
  AppendSpot(spot, lines, at);
  return spot;
}

// The bytes of the failed step's marker at its offset, for the excerpt.
size_t FailureLength(const Road& road) {
  switch (*road.failedStep) {
    case Step::kFormEnd: return kFormOpenMarker.size();
    case Step::kAction:
      return road.failureAt == road.formAt ? kFormOpenMarker.size() : kActionMarker.size();
    case Step::kFields:
      return road.failureAt == road.formAt ? kFormOpenMarker.size() : kInputMarker.size();
    case Step::kPost: return kActionMarker.size();
    case Step::kLink: return road.failureAt == road.hrefAt ? kHrefMarker.size() : 1;
    default: return 1;
  }
}

std::string PluginWords(const Explained& e) {
  const LinkResult& result = e.report.result;
  switch (result.outcome) {
    case Outcome::kLink: return "gave the link " + LinkText(result.link);
    case Outcome::kBadLink:
      return "gave the link " + LinkText(result.link) + ", which is no http or https URL";
    case Outcome::kNoLink: return "gave no link (the empty text)";
    case Outcome::kNotFound: return "gave %notfound%: the site reports the link invalid";
    case Outcome::kDeleted: return "gave %deleted%: the site reports the download link faulty";
    default: return "was stopped by the host (" + std::string(OutcomeWords(result.outcome)) + ")";
  }
}

class TextWriter {
 public:
  TextWriter(const Explained& e, const TextStyle& style)
      : e_(e), road_(e.road), style_(style), pageLines_(road_.page), answerLines_(road_.answer) {}

  std::string Write() {
    Line("link", LinkText(e_.report.url));
    Line("plugin", PluginWords(e_));
    Page();
    if (Reached(Step::kForm)) Form();
    if (Reached(Step::kFormEnd)) FormEnd();
    if (Reached(Step::kAction)) Action();
    if (Reached(Step::kFields)) Fields();
    if (Reached(Step::kPost)) Post();
    if (Reached(Step::kAnswer)) Answer();
    if (Reached(Step::kLink) && road_.linkSearched) Link();
    Result();
    return out_;
  }

 private:
  bool Reached(Step step) const {
    return !road_.failedStep || static_cast<int>(step) <= static_cast<int>(*road_.failedStep);
  }
  const LineIndex& LinesOf(Where in) const {
    return in == Where::kPage ? pageLines_ : answerLines_;
  }
  std::string_view TextOf(Where in) const {
    return in == Where::kPage ? std::string_view(road_.page) : std::string_view(road_.answer);
  }

  // A step's line: its label, then the escaped text, wrapped.
  void Line(const std::string& label, const std::string& raw) {
    const std::string head =
        label.size() < kLabel ? label + std::string(kLabel - label.size(), ' ') : label + " ";
    out_ += head + Wrap(Shown(raw), Columns(head), kLabel, style_.width) + "\n";
  }
  // A line under the step, already escaped and fitted.
  void More(const std::string& shown) { out_ += std::string(kLabel, ' ') + shown + "\n"; }

  void ExcerptAt(Where in, size_t at, size_t length, bool hint) {
    if (at == kNowhere) return;
    const std::string lines = Excerpt(TextOf(in), at, length, style_.width - kLabel - 2,
                                      style_.colour, MarkerColour(hint));
    size_t start = 0;
    for (size_t end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1) {
      out_ += std::string(kLabel + 2, ' ') + lines.substr(start, end - start) + "\n";
    }
  }

  void Failure(Step step) {
    if (road_.failedStep != step) return;
    const std::string failed = style_.colour ? std::string(kRed) + "FAILED" + kReset : "FAILED";
    out_ += std::string(kLabel, ' ') + failed + ": " +
            Wrap(Shown(road_.failure), kLabel + 8, kLabel, style_.width) + "\n";
    ExcerptAt(road_.failureIn, road_.failureAt, FailureLength(road_), false);
  }

  void Hints(Step step) {
    for (const Hint& hint : road_.hints) {
      if (hint.step != step) continue;
      const std::string word = style_.colour ? std::string(kYellow) + "hint" + kReset : "hint";
      out_ += std::string(kLabel, ' ') + word + ": " +
              Wrap(Shown(hint.message), kLabel + 6, kLabel, style_.width) + "\n";
      ExcerptAt(hint.in, hint.offset, hint.length, true);
    }
  }

  void Page() {
    std::string text = std::to_string(e_.pageBytes) + " bytes";
    if (!e_.pageUrl.empty()) text += " from " + LinkText(e_.pageUrl);
    if (e_.pageBytes > road_.page.size() && !road_.page.empty()) {
      text += "; a NUL byte at byte " + std::to_string(road_.page.size()) +
              " ends the text the plugin sees";
    }
    Line("page", text);
    Failure(Step::kPage);
  }

  void Form() {
    if (road_.formAt != kNowhere)
      Line("form", "\"<FORM\" at " + Spot(pageLines_, road_.formAt));
    else
      Line("form", "no \"<FORM\"");
    Failure(Step::kForm);
    Hints(Step::kForm);
  }

  void FormEnd() {
    if (road_.formEndAt != kNowhere) {
      Line("formEnd", "\"</FORM\" at " + Spot(pageLines_, road_.formEndAt) + "; the form is " +
                          std::to_string(road_.formEndAt - road_.formAt) + " bytes");
    } else {
      Line("formEnd", "no \"</FORM\"");
    }
    Failure(Step::kFormEnd);
    Hints(Step::kFormEnd);
  }

  void Action() {
    if (road_.actionAt == kNowhere) {
      Line("action", "no ACTION=\"");
    } else {
      const bool inTag = road_.openTagEnd != kNowhere && road_.actionAt < road_.openTagEnd;
      std::string text = "ACTION=\" at " + Spot(pageLines_, road_.actionAt) +
                         (inTag ? ", in the opening tag"
                                : ", outside the opening tag (taken from a later element)");
      if (road_.actionLength != kNowhere) {
        text += "; " + std::to_string(road_.actionLength) + " of at most " +
                std::to_string(kMaxActionBytes) + " bytes";
      }
      Line("action", text);
      if (road_.actionLength != kNowhere) {
        More(FitBytes("\"" + road_.action + "\"", style_.width - kLabel));
      }
    }
    Failure(Step::kAction);
    Hints(Step::kAction);
  }

  void Fields() {
    size_t named = 0, lines = 0, dropped = 0;
    for (const FieldRoad& field : road_.fields) {
      named += field.nameBytes > 0;
      lines += field.lines.size();
      for (const ParamLineRoad& line : field.lines) dropped += line.premiumAt != kNowhere;
    }
    Line("fields", std::to_string(road_.fields.size()) + " \"<INPUT\", " + std::to_string(named) +
                       " with a name, " + std::to_string(lines) + " parameter line(s), " +
                       std::to_string(dropped) + " dropped by the premium filter");
    const size_t room = style_.width > kLabel + 4 ? style_.width - kLabel - 4 : 20;
    size_t told = 0;  // about what the fields take, to grow the output once
    for (const FieldRoad& field : road_.fields) {
      told += 64 + 48 + field.notes.size() * 160 + field.lines.size() * (style_.width / 2);
    }
    out_.reserve(out_.size() + told);
    std::string text, escaped, note;
    // The notes of inputs that borrow one name or value repeat: the last
    // note of each kind, where it stands in out_.
    struct Told {
      std::string_view kind;
      std::string message;
      size_t at, end;
    };
    std::vector<Told> lastNotes;
    for (size_t i = 0; i < road_.fields.size(); ++i) {
      const FieldRoad& field = road_.fields[i];
      std::string head = "#" + std::to_string(i + 1);
      head.resize(kLabel - 2, ' ');
      text.clear();
      AppendSpot(text, pageLines_, field.input);
      text += ": ";
      const size_t shown = BytesShownIn(style_.width);  // a borrowed name may be long
      if (field.nameBytes == 0) {
        text +=
            field.nameAt == kNowhere ? "no NAME=\" after it: skipped" : "an empty name: skipped";
      } else {
        text.append("name \"").append(road_.NameOf(field).substr(0, shown)).append("\", value \"");
        text.append(road_.ValueOf(field).substr(0, shown)).append("\"");
      }
      out_.append("  ").append(head);
      AppendFitted(out_, text, style_.width - kLabel);
      out_ += '\n';
      text.clear();
      if (field.nameAt != kNowhere) {
        text += "NAME=\" at byte ";
        AppendNumber(text, field.nameAt);
      }
      if (field.valueAt != kNowhere) {
        text += text.empty() ? "VALUE=\" at byte " : ", VALUE=\" at byte ";
        AppendNumber(text, field.valueAt);
      }
      if (!text.empty()) {
        out_.append(kLabel + 2, ' ');
        AppendFitted(out_, text, room);
        out_ += '\n';
      }
      for (const FieldNote& fieldNote : field.notes) {
        note = road_.NoteMessage(field, fieldNote);
        auto last = std::find_if(lastNotes.begin(), lastNotes.end(),
                                 [&](const Told& told) { return told.kind == fieldNote.kind; });
        if (last == lastNotes.end()) last = lastNotes.insert(last, {fieldNote.kind, {}, 0, 0});
        const size_t start = out_.size();
        if (note == last->message) {
          out_.append(out_, last->at, last->end - last->at);
        } else {
          out_.append(kLabel, ' ').append("  note: ");
          AppendWrapped(out_, ShownIn(note, escaped), kLabel + 8, kLabel + 2, style_.width);
          out_ += '\n';
          last->message = note;
        }
        last->at = start;
        last->end = out_.size();
      }
      for (const ParamLineRoad& line : field.lines) {
        if (line.premiumAt == kNowhere) continue;
        const std::string word = line.text.substr(line.premiumAt, kPremiumWord.size());
        More("  dropped: " + Wrap(Shown("\"" + line.text + "\" (\"" + word + "\" at byte " +
                                        std::to_string(line.premiumAt) + " of the line)"),
                                  kLabel + 11, kLabel + 2, style_.width));
      }
    }
    if (road_.fieldsEnded == FieldsEnd::kNul) More("a NUL byte ends the parameters");
    Failure(Step::kFields);
    Hints(Step::kFields);
  }

  void Post() {
    if (!e_.postUrl.empty()) {
      Line("post", "POST " + LinkText(e_.postUrl));
    } else {
      Line("post", "no POST was made");
    }
    More(FitBytes("the action \"" + road_.action + "\" against the page's URL",
                  style_.width - kLabel));
    std::string lines;
    size_t count = 0;
    for (const FieldRoad& field : road_.fields) {
      for (const ParamLineRoad& line : field.lines) {
        if (line.premiumAt != kNowhere) continue;
        ++count;
        out_.append(kLabel + 2, ' ');
        AppendFitted(out_, line.text, style_.width - kLabel - 2);
        out_ += '\n';
      }
    }
    if (count == 0) More("no parameter line is left: the POST carries none");
    Failure(Step::kPost);
  }

  void Answer() {
    Line("answer", std::to_string(road_.answer.size()) + " bytes");
    auto marker = [&](std::string_view name, size_t at, bool searched) {
      std::string text = "\"" + std::string(name) + "\": ";
      if (!searched)
        text += "not looked for (an earlier marker decided)";
      else if (at == kNowhere)
        text += "not in the answer";
      else
        text += "at " + Spot(answerLines_, at);
      More(Fit(Shown(text), style_.width - kLabel));
    };
    marker(kInvalidLinkMarker, road_.invalidAt, true);
    marker(kFaultyLinkMarker, road_.faultyAt, road_.faultySearched);
    marker(kLinkLineMarker, road_.markerAt, road_.linkSearched);
    if (road_.verdict == Verdict::kNotFound) More("decided: \"%notfound%\" (link invalid)");
    if (road_.verdict == Verdict::kDeleted) More("decided: \"%deleted%\" (download link faulty)");
    Failure(Step::kAnswer);
    Hints(Step::kAnswer);
  }

  void Link() {
    if (road_.hrefAt != kNowhere) {
      const size_t markerLine = answerLines_.LineOf(road_.markerAt);
      const size_t hrefLine = answerLines_.LineOf(road_.hrefAt);
      std::string where = road_.hrefAt < road_.markerAt ? "before the marker on its line"
                          : hrefLine == markerLine
                              ? "after the marker on its line"
                              : std::to_string(hrefLine - markerLine) + " line(s) below the marker";
      Line("link", "HREF=\" at " + Spot(answerLines_, road_.hrefAt) + ", " + where);
      if (road_.linkLength != kNowhere) {
        More(FitBytes(std::to_string(road_.linkLength) + " bytes: " + LinkText(road_.link),
                      style_.width - kLabel));
      }
    } else {
      Line("link", "no HREF=\"");
    }
    Failure(Step::kLink);
    Hints(Step::kLink);
  }

  void Result() {
    std::string text = VerdictName(road_.verdict);
    if (road_.verdict == Verdict::kLink) text += " " + LinkText(road_.link);
    if (road_.failedStep)
      text += std::string("; the road ends at step \"") + StepName(*road_.failedStep) + "\"";
    if (!e_.compared) {
      text += "; not compared with the plugin's result, which the host replaced";
    } else if (e_.disagreement.empty()) {
      text += "; the loaded plugin agrees";
    } else {
      text += "; DISAGREES with the loaded plugin: " + e_.disagreement;
    }
    Line("verdict", text);
  }

  const Explained& e_;
  const Road& road_;
  const TextStyle& style_;
  LineIndex pageLines_;
  LineIndex answerLines_;
  std::string out_;
};

}  // namespace

std::string VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kLink: return "link";
    case Verdict::kNotFound: return "notfound";
    case Verdict::kDeleted: return "deleted";
    case Verdict::kNoLink: break;
  }
  return "nolink";
}

TextStyle StdoutStyle() {
  TextStyle style;
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  winsize size{};
  if (terminal && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    style.width = size.ws_col;
  } else if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns, &end, 10);
    if (end != columns && *end == '\0' && value > 0 && value < 10000) style.width = value;
  }
  if (style.width < 40) style.width = 40;
  const char* noColour = std::getenv("NO_COLOR");
  style.colour = terminal && (noColour == nullptr || *noColour == '\0');
  return style;
}

std::string Excerpt(std::string_view text, size_t at, size_t length, size_t width, bool colour,
                    const char* markerColour) {
  if (width < 16) width = 16;
  at = std::min(at, text.size());
  const size_t markerEnd = std::min(text.size(), at + std::max<size_t>(length, 1));
  const size_t from = at > width ? at - width : 0;
  const size_t to = std::min(text.size(), markerEnd + width);
  const std::vector<Unit> units = UnitsOf(text, from, to);
  size_t first = 0;
  while (first < units.size() && units[first].end <= at) ++first;
  size_t last = first;              // one past the marker's units
  const size_t budget = width - 6;  // room for "..." on both sides
  size_t used = 0;
  while (last < units.size() && units[last].begin < markerEnd &&
         used + Columns(units[last].shown) <= budget) {
    used += Columns(units[last].shown);
    ++last;
  }
  const size_t markerWidth = used;
  size_t left = first, right = last;
  for (bool grew = true; grew;) {
    grew = false;
    if (left > 0 && used + Columns(units[left - 1].shown) <= budget) {
      used += Columns(units[--left].shown);
      grew = true;
    }
    if (right < units.size() && used + Columns(units[right].shown) <= budget) {
      used += Columns(units[right++].shown);
      grew = true;
    }
  }
  std::string line, before;
  const bool cutLeft = left > 0 || from > 0;
  const bool cutRight = right < units.size() || to < text.size();
  if (cutLeft) before = "...";
  for (size_t i = left; i < first; ++i) before += units[i].shown;
  line = before;
  if (colour && markerWidth > 0) line += markerColour;
  for (size_t i = first; i < last; ++i) line += units[i].shown;
  if (colour && markerWidth > 0) line += kReset;
  for (size_t i = last; i < right; ++i) line += units[i].shown;
  if (cutRight) line += "...";
  if (colour) return line + "\n";
  return line + "\n" + std::string(Columns(before), ' ') +
         std::string(std::max<size_t>(markerWidth, 1), '^') + "\n";
}

std::string ExplainedText(const Explained& explained, const TextStyle& style) {
  return TextWriter(explained, style).Write();
}

}  // namespace velmora::host
