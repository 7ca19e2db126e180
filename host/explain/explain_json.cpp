#include <charconv>
#include <nlohmann/json.hpp>

#include "host/explain/explain_output.h"
#include "host/io/terminal_text.h"
#include "host/run/link_report.h"
#include "resolve/form_scanner.h"
#include "resolve/link_resolver.h"

namespace velmora::host {
namespace {

using nlohmann::json;

// Inputs that borrow one long name or value would each repeat it: once such
// repeats add up to more than the page and a MiB, a name or value that the
// field before took from the same NAME=" or VALUE=" is cut to this many
// bytes, and nameFrom or valueFrom names the field that gives it whole.
constexpr size_t kRepeatShown = 256;
constexpr size_t kRepeatSlack = 1 << 20;

void AppendNumber(std::string& out, size_t n) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
}

void AppendOffset(std::string& out, size_t at) {
  if (at == kNowhere) {
    out += "null";
  } else {
    AppendNumber(out, at);
  }
}

// The string as the document's dump writes it: pure ASCII, bytes that are
// not UTF-8 as U+FFFD. Printable ASCII, most of it, is written here.
void AppendString(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c < 0x20 || c > 0x7E) {
      out += json(text).dump(-1, ' ', true, json::error_handler_t::replace);
      return;
    }
  }
  out += '"';
  for (size_t at = 0; at < text.size();) {
    const size_t special = text.find_first_of("\"\\", at);
    out.append(text.substr(at, special - at));
    if (special == std::string_view::npos) break;
    out.append(1, '\\').append(1, text[special]);
    at = special + 1;
  }
  out += '"';
}

// Field objects are written one after the other rather than built as one
// tree first, which takes some hundred times the page on a form of many
// inputs; their keys in the order the dump gives an object's.
// What FieldsJson and the post's params add, roughly, so that the document
// is made in one allocation rather than grown and copied piece by piece.
size_t ToldFieldBytes(const Road& road) {
  size_t bytes = 0;
  for (const FieldRoad& field : road.fields) {
    bytes +=
        160 + std::min(field.nameBytes, kRepeatShown) + std::min(field.valueBytes, kRepeatShown);
    for (const ParamLineRoad& line : field.lines) bytes += 2 * (48 + line.text.size());
    bytes += 160 * field.notes.size();
  }
  return bytes;
}

void AppendFieldsJson(const Road& road, const LineIndex& pageLines, std::string& out) {
  out += '[';
  size_t nameAt = kNowhere, valueAt = kNowhere, nameFrom = 0, valueFrom = 0;
  size_t repeatBudget = road.page.size() + kRepeatSlack;
  const auto taken = [&](const char* key, size_t at, std::string_view bytes, size_t index,
                         size_t& lastAt, size_t& from, std::string& text) {
    if (at != lastAt) from = index;
    lastAt = at;
    bool cut = false;
    if (from != index && bytes.size() > kRepeatShown) {
      cut = bytes.size() > repeatBudget;
      if (!cut) repeatBudget -= bytes.size();
    }
    text.append(1, '"').append(key).append("\":");
    AppendString(text, cut ? bytes.substr(0, kRepeatShown) : bytes);
    text.append(",\"").append(key).append("At\":");
    AppendOffset(text, at);
    if (!cut) return;
    text.append(",\"").append(key).append("From\":");
    AppendNumber(text, from);
  };
  for (size_t i = 0; i < road.fields.size(); ++i) {
    const FieldRoad& field = road.fields[i];
    out += i == 0 ? "{\"accepted\":" : ",{\"accepted\":";
    out += field.nameBytes > 0 ? "true" : "false";
    out += ",\"input\":";
    AppendNumber(out, field.input);
    out += ",\"line\":";
    AppendNumber(out, pageLines.LineOf(field.input));
    out += ",\"lines\":[";
    for (const ParamLineRoad& line : field.lines) {
      out += &line == &field.lines.front() ? "{\"dropped\":" : ",{\"dropped\":";
      out += line.premiumAt != kNowhere ? "true" : "false";
      out += ",\"text\":";
      AppendString(out, line.text);
      out += ",\"word\":";
      if (line.premiumAt == kNowhere) {
        out += "null";
      } else {
        AppendString(out, std::string_view(line.text).substr(line.premiumAt, kPremiumWord.size()));
      }
      out += '}';
    }
    out += "],";
    taken("name", field.nameAt, road.NameOf(field), i, nameAt, nameFrom, out);
    out += ",\"notes\":[";
    for (const FieldNote& note : field.notes) {
      out += &note == &field.notes.front() ? "{\"kind\":" : ",{\"kind\":";
      AppendString(out, note.kind);
      out += ",\"message\":";
      AppendString(out, road.NoteMessage(field, note));
      out += '}';
    }
    out += "],";
    taken("value", field.valueAt, road.ValueOf(field), i, valueAt, valueFrom, out);
    out += '}';
  }
  out += ']';
}

}  // namespace

std::string ExplainedJson(const Explained& e) {
  const Road& road = e.road;
  const LineIndex pageLines(road.page), answerLines(road.answer);
  const auto spot = [](const LineIndex& lines, size_t at) {
    return at == kNowhere ? json() : json({{"offset", at}, {"line", lines.LineOf(at)}});
  };
  const auto offset = [](size_t at) { return at == kNowhere ? json() : json(at); };
  const auto reached = [&](Step step) {
    return !road.failedStep || static_cast<int>(step) <= static_cast<int>(*road.failedStep);
  };

  json object = json::parse(JsonLine(e.report));
  object["verdict"] = VerdictName(road.verdict);
  object["pluginResult"] = e.compared ? json(LinkText(e.pluginResult)) : json();
  object["agrees"] = e.compared ? json(e.disagreement.empty()) : json();
  object["disagreement"] = e.disagreement.empty() ? json() : json(e.disagreement);
  object["exit_code"] = e.exitCode;
  object["failedStep"] = road.failedStep ? json(StepName(*road.failedStep)) : json();
  if (road.failedStep) {
    const LineIndex& lines = road.failureIn == Where::kPage ? pageLines : answerLines;
    object["failure"] = {
        {"step", StepName(*road.failedStep)},
        {"in", road.failureIn == Where::kPage ? "page" : "answer"},
        {"offset", offset(road.failureAt)},
        {"line", road.failureAt == kNowhere ? json() : json(lines.LineOf(road.failureAt))},
        {"message", road.failure}};
  } else {
    object["failure"] = json();
  }
  json hints = json::array();
  for (const Hint& hint : road.hints) {
    const LineIndex& lines = hint.in == Where::kPage ? pageLines : answerLines;
    hints.push_back({{"step", StepName(hint.step)},
                     {"kind", hint.kind},
                     {"in", hint.in == Where::kPage ? "page" : "answer"},
                     {"offset", hint.offset},
                     {"line", lines.LineOf(hint.offset)},
                     {"message", hint.message}});
  }
  object["hints"] = std::move(hints);
  object["page"] = {{"url", e.pageUrl.empty() ? json() : json(LinkText(e.pageUrl))},
                    {"bytes", e.pageBytes},
                    {"plugin_bytes", road.page.size()}};
  object["form"] =
      reached(Step::kForm) && road.formAt != kNowhere ? spot(pageLines, road.formAt) : json();
  object["formEnd"] = json();
  if (reached(Step::kFormEnd) && road.formEndAt != kNowhere) {
    object["formEnd"] = spot(pageLines, road.formEndAt);
    object["formEnd"]["formBytes"] = road.formEndAt - road.formAt;
  }
  object["action"] = json();
  if (reached(Step::kAction) && road.actionAt != kNowhere) {
    const bool closed = road.actionLength != kNowhere;
    object["action"] = spot(pageLines, road.actionAt);
    object["action"]["inOpeningTag"] =
        road.openTagEnd != kNowhere && road.actionAt < road.openTagEnd;
    object["action"]["bytes"] = closed ? json(road.actionLength) : json();
    object["action"]["limit"] = kMaxActionBytes;
    object["action"]["value"] = closed ? json(road.action) : json();
  }
  object["fields"] = json::array();  // spliced in below
  object["post"] = json();
  if (road.posted) {
    object["post"] = {{"action", road.action},
                      {"url", e.postUrl.empty() ? json() : json(LinkText(e.postUrl))},
                      {"params", json::array()}};  // spliced in below
  }
  object["answer"] = json();
  if (road.posted && reached(Step::kAnswer)) {
    json markers = json::array();
    markers.push_back({{"marker", std::string(kInvalidLinkMarker)},
                       {"searched", true},
                       {"at", spot(answerLines, road.invalidAt)}});
    markers.push_back({{"marker", std::string(kFaultyLinkMarker)},
                       {"searched", road.faultySearched},
                       {"at", spot(answerLines, road.faultyAt)}});
    markers.push_back({{"marker", std::string(kLinkLineMarker)},
                       {"searched", road.linkSearched},
                       {"at", spot(answerLines, road.markerAt)}});
    const char* decided = road.invalidAt != kNowhere  ? "notfound"
                          : road.faultyAt != kNowhere ? "deleted"
                          : road.markerAt != kNowhere ? "link"
                                                      : nullptr;
    object["answer"] = {{"bytes", road.answer.size()},
                        {"markers", std::move(markers)},
                        {"decided", decided ? json(decided) : json()}};
  }
  object["href"] = json();
  if (road.linkSearched && road.markerAt != kNowhere) {
    object["href"] = {{"lineStart", road.lineBreak == kNowhere ? 0 : road.lineBreak},
                      {"at", spot(answerLines, road.hrefAt)},
                      {"bytes", offset(road.linkLength)}};
  }
  // The fields and the params go in place of the empty arrays the dump gave
  // them ("fields" comes before "post" in it).
  const std::string dumped = object.dump(-1, ' ', true, json::error_handler_t::replace);
  std::string document;
  document.reserve(dumped.size() + ToldFieldBytes(road));
  size_t from = 0;
  const auto upTo = [&](std::string_view key) {
    const std::string empty = "\"" + std::string(key) + "\":[]";
    const size_t at = dumped.find(empty, from);
    document.append(dumped, from, at + empty.size() - 2 - from);
    from = at + empty.size();
  };
  upTo("fields");
  AppendFieldsJson(road, pageLines, document);
  if (road.posted) {
    upTo("params");
    document += '[';
    bool first = true;
    for (const FieldRoad& field : road.fields) {
      for (const ParamLineRoad& line : field.lines) {
        if (line.premiumAt != kNowhere) continue;
        if (!first) document += ',';
        first = false;
        AppendString(document, line.text);
      }
    }
    document += ']';
  }
  document.append(dumped, from);
  return document;
}

}  // namespace velmora::host
