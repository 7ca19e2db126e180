#include <nlohmann/json.hpp>

#include "host/explain/explain_output.h"
#include "host/io/terminal_text.h"
#include "host/run/link_report.h"
#include "resolve/form_scanner.h"
#include "resolve/link_resolver.h"

namespace velmora::host {

std::string ExplainedJson(const Explained& e) {
  using nlohmann::json;
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
  json fields = json::array();
  for (const FieldRoad& field : road.fields) {
    json notes = json::array();
    for (const FieldNote& note : field.notes) {
      notes.push_back({{"kind", note.kind}, {"message", road.NoteMessage(field, note)}});
    }
    json lines = json::array();
    for (const ParamLineRoad& line : field.lines) {
      lines.push_back(
          {{"text", line.text},
           {"dropped", line.premiumAt != kNowhere},
           {"word", line.premiumAt == kNowhere
                        ? json()
                        : json(line.text.substr(line.premiumAt, kPremiumWord.size()))}});
    }
    fields.push_back({{"input", field.input},
                      {"line", pageLines.LineOf(field.input)},
                      {"name", road.NameOf(field)},
                      {"nameAt", offset(field.nameAt)},
                      {"value", road.ValueOf(field)},
                      {"valueAt", offset(field.valueAt)},
                      {"accepted", field.nameBytes > 0},
                      {"notes", std::move(notes)},
                      {"lines", std::move(lines)}});
  }
  object["fields"] = std::move(fields);
  object["post"] = json();
  if (road.posted) {
    json params = json::array();
    for (const FieldRoad& field : road.fields) {
      for (const ParamLineRoad& line : field.lines) {
        if (line.premiumAt == kNowhere) params.push_back(line.text);
      }
    }
    object["post"] = {{"action", road.action},
                      {"url", e.postUrl.empty() ? json() : json(LinkText(e.postUrl))},
                      {"params", std::move(params)}};
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
  return object.dump(-1, ' ', true, json::error_handler_t::replace);
}

}  // namespace velmora::host
