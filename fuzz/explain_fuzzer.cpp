// libFuzzer target: velmora-host explain against the plugin (its exports,
// linked in). The input is the page, a NUL, then the answer, served as C
// texts as the host serves them. explain's verdict and POST are the
// plugin's; its road fails at a step exactly when there is no verdict to
// use; its offsets stay inside the texts; its text and JSON carry no raw
// site byte.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_checks.h"
#include "host/explain/explain.h"
#include "host/explain/explain_output.h"
#include "host/io/terminal_text.h"
#include "host/net/form_encoding.h"
#include "host/run/outcome.h"
#include "plugin/plugin_api.h"

namespace {

using velmora::fuzz::Require;

struct Served {
  std::string page;
  std::string answer;
  bool posted = false;
  std::string params;
} g_served;

HostText VELMORA_CALL ServePage(const void*) { return g_served.page.c_str(); }
HostText VELMORA_CALL ServeAnswer(HostText, HostText params) {
  g_served.posted = true;
  g_served.params = params != nullptr ? params : "";
  return g_served.answer.c_str();
}
void VELMORA_CALL Ignore(HostText) {}
void VELMORA_CALL IgnoreFile(HostText, HostText) {}

// What a host reads in the plugin's text (whether a link is one to
// download is a later question).
velmora::host::Outcome HostOutcome(const std::string& text) {
  using velmora::host::Outcome;
  if (text == "%notfound%") return Outcome::kNotFound;
  if (text == "%deleted%") return Outcome::kDeleted;
  return text.empty() ? Outcome::kNoLink : Outcome::kLink;
}

// explain's verdict: a link only where its road reached one.
std::string RoadVerdict(const velmora::host::Road& road) {
  using velmora::Verdict;
  if (road.verdict == Verdict::kLink && road.failedStep) return "nolink";
  return velmora::host::VerdictName(road.verdict);
}

// Lines of at most width code points, with no control byte but LF, in
// well-formed UTF-8 with no unsafe code point.
void RequirePrintable(std::string_view text, size_t width) {
  const std::optional<std::u32string> codes = velmora::fuzz::DecodeUtf8(text);
  Require(codes.has_value());
  size_t column = 0;
  for (const char32_t code : *codes) {
    if (code == '\n') {
      column = 0;
      continue;
    }
    Require(!velmora::host::IsUnsafeCodePoint(code));
    Require(++column <= width);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::host;
  using velmora::Verdict;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  g_served = {
      std::string(input.substr(0, split)),
      split == std::string_view::npos ? std::string() : std::string(input.substr(split + 1)),
      false,
      {}};

  PlgInit(ServePage, ServeAnswer, Ignore, 7, IgnoreFile, 0, "");
  const HostText text = PlgGetDirectLink("http://site.example/f/1");
  const std::string result = text != nullptr ? text : "";
  PlgDestroy();

  Explained explained;
  explained.road = ExplainTexts(g_served.page, g_served.answer);
  const Road& road = explained.road;
  Require(Disagreement(road, {result, g_served.posted, EncodeFormBody(g_served.params)}).empty());
  const Outcome outcome = HostOutcome(result);
  Require(RoadVerdict(road) == OutcomeName(outcome));
  const bool decided = (road.verdict == Verdict::kLink && !road.link.empty()) ||
                       road.verdict == Verdict::kNotFound || road.verdict == Verdict::kDeleted;
  Require(road.failedStep.has_value() != decided);

  const auto size_of = [&](Where in) {
    return (in == Where::kPage ? road.page : road.answer).size();
  };
  if (road.failedStep && road.failureAt != kNowhere) {
    Require(road.failureAt <= size_of(road.failureIn));
  }
  for (const Hint& hint : road.hints) Require(hint.offset + hint.length <= size_of(hint.in));

  explained.report.url = "http://site.example/f/1";
  explained.report.result = {outcome, outcome == Outcome::kLink ? result : "", {}};
  explained.compared = true;
  explained.pluginResult = result;
  RequirePrintable(ExplainedText(explained, {60, false}), 60);
  for (const char c : ExplainedJson(explained)) Require(c >= 0x20 && c < 0x7F);
  return 0;
}
