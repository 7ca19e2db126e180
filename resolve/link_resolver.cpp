#include "resolve/link_resolver.h"

#include "resolve/form_scanner.h"

namespace velmora {
namespace {

constexpr std::string_view kPremium = "premium";

// Turns the form's fields straight into the POST parameters, without the
// whole parameter text in between: its lines are split as LineList splits
// it, and lines that mention premium in any letter case are left out.
// Every field line ends in CR LF, which always ends its last line, so each
// field splits on its own; a NUL ends the text, and every later field with it.
// Without an output it only measures, so that the parameters can then be
// written into a buffer of their exact size.
class ParamFilter final : public FieldSink {
 public:
  ParamFilter(RequestBuffers& buffers, std::string* output) : buffers_(buffers), output_(output) {}

  void Add(std::string_view name, std::string_view value) override {
    if (ended_) return;
    const std::size_t fieldBytes = name.size() + value.size() + 3;
    if (fieldBytes > kMaxFieldBytes - scanned_) {
      tooLarge_ = true;
      ended_ = true;
      return;
    }
    scanned_ += fieldBytes;
    std::string& field = buffers_.field;
    field.assign(name.data(), name.size()).append(1, '=');
    field.append(value.data(), value.size()).append("\r\n", 2);
    ForEachLine(field, [this](std::string_view line) {
      ++lines_;
      std::string& lowered = buffers_.scratch;
      AnsiLowerInto(line, lowered);
      if (FindFrom(lowered, kPremium) != kNpos) return;
      bytes_ += line.size() + 2;
      if (output_ != nullptr) output_->append(line.data(), line.size()).append("\r\n", 2);
    });
    ended_ = field.find('\0') != std::string::npos;
  }

  // Lines before filtering: none means there is nothing to post.
  std::size_t lines() const { return lines_; }
  // Bytes of the parameters.
  std::size_t bytes() const { return bytes_; }
  // Whether the fields went past kMaxFieldBytes.
  bool tooLarge() const { return tooLarge_; }

 private:
  RequestBuffers& buffers_;
  std::string* output_;
  std::size_t lines_ = 0;
  std::size_t bytes_ = 0;
  std::size_t scanned_ = 0;
  bool ended_ = false;
  bool tooLarge_ = false;
};

}  // namespace

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

  host.GetPage(buffers.text);
  if (buffers.text.empty()) return {};

  // The fields are scanned twice, the first time to measure: a growing buffer would hold up to
  // three times the parameters while it moves.
  std::string_view form;
  if (!FindForm(buffers.text, form, buffers.formAction)) return {};
  ParamFilter measure(buffers, nullptr);
  ScanFields(form, measure);
  if (measure.lines() == 0 || measure.tooLarge()) return {};
  buffers.params.reserve(measure.bytes());
  ParamFilter filter(buffers, &buffers.params);
  ScanFields(form, filter);

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
