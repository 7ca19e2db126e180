#include "resolve/link_resolver.h"

#include "resolve/form_scanner.h"

namespace velmora {
namespace {

constexpr std::string_view kPremium = "premium";

// Buffers above this size are released after a request rather than kept.
constexpr std::size_t kKeptCapacity = 256 * 1024;

void TrimBuffer(std::string& buffer) {
  if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
  buffer.clear();
}

}  // namespace

void RequestBuffers::Trim() {
  TrimBuffer(text);
  TrimBuffer(formAction);
  TrimBuffer(params);
  TrimBuffer(scratch);
  lines = LineList();
}

bool ExtractDirectLink(std::string_view answer, std::string_view& link) {
  const std::size_t marker = FindFrom(answer, kLinkLineMarker);
  if (marker == kNpos) return false;
  // From the line break before the marker (or the start): the link may stand
  // on the marker's line before the marker, or on any later line.
  const std::size_t lineBreak = TextLastDelimiter("\n", answer.substr(0, marker));
  const std::string_view fromLine = answer.substr(lineBreak == 0 ? 0 : lineBreak - 1);
  const std::size_t href = FindFrom(fromLine, kHrefMarker);
  if (href == kNpos) return false;
  const std::string_view quoted = TailFrom(fromLine, href + kHrefMarker.size());
  const std::size_t quote = quoted.find('"');
  if (quote == kNpos) return false;
  link = quoted.substr(0, quote);
  return true;
}

Resolution ResolveDirectLink(ResolverHost& host, const ResolverSettings& settings,
                             RequestBuffers& buffers) {
  buffers.formAction.clear();
  buffers.params.clear();
  buffers.lines.Clear();

  host.GetPage(buffers.text);
  if (buffers.text.empty()) return {};

  ScanForm(buffers.text, buffers.formAction, buffers.params);
  // Line breaks inside a name or value become lines of their own.
  buffers.lines.AdoptText(std::move(buffers.params));
  buffers.params.clear();
  if (buffers.lines.Count() == 0) return {};

  std::string& lowered = buffers.scratch;
  buffers.lines.KeepIf([&lowered](std::string_view line) {
    AnsiLowerInto(line, lowered);
    return FindFrom(lowered, kPremium) == kNpos;
  });
  buffers.lines.AppendTextTo(buffers.params);
  buffers.lines.Clear();

  if (settings.debugMode) {
    std::string& message = buffers.scratch;
    message.assign(kPostUrlMessage).append(buffers.formAction);
    host.Log(message);
    message.assign(kPostParamsMessage).append(buffers.params);
    host.Log(message);
  }

  // Posted even when the filter left no parameters.
  host.PostForm(buffers.formAction, buffers.params, buffers.text);
  const std::string_view answer = buffers.text;

  if (FindFrom(answer, kInvalidLinkMarker) != kNpos) return {Verdict::kNotFound, {}};
  if (FindFrom(answer, kFaultyLinkMarker) != kNpos) return {Verdict::kDeleted, {}};

  if (settings.debugMode) {
    std::string& path = buffers.scratch;
    path.assign(settings.dumpDir).append(kDumpFileName);
    host.SaveFile(path, buffers.text);
  }

  Resolution resolution;
  if (ExtractDirectLink(answer, resolution.link)) resolution.verdict = Verdict::kLink;
  return resolution;
}

}  // namespace velmora
