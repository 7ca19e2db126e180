#include "resolve/link_resolver.h"

#include "resolve/form_scanner.h"
#include "resolve/road_observer.h"

namespace velmora {
namespace {

// Turns the form's fields straight into the POST parameters, without the
// whole parameter text in between: its lines are split by ForEachLine, and
// lines that mention premium in any letter case are left out.
// Every field line ends in CR LF, which always ends its last line, so each
// field splits on its own; a NUL ends the text, and every later field with it.
// Without an output it only measures, so that the parameters can then be
// written into a buffer of their exact size.
template <typename Observer>
class ParamFilter final : public FieldSink {
 public:
  ParamFilter(RequestBuffers& buffers, std::string* output, Observer& observer)
      : buffers_(buffers), output_(output), observer_(observer) {}

  void Add(std::string_view name, std::string_view value) override {
    if (ended_) return;
    const std::size_t fieldBytes = name.size() + value.size() + 3;
    if (fieldBytes > kMaxFieldBytes - scanned_) {
      tooLarge_ = true;
      ended_ = true;
      observer_.FieldsEnded(FieldsEnd::kTooLarge);
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
      const std::size_t premium = FindFrom(lowered, kPremiumWord);
      observer_.ParamLine(line, premium);
      if (premium != kNpos) return;
      bytes_ += line.size() + 2;
      if (output_ != nullptr) output_->append(line.data(), line.size()).append("\r\n", 2);
    });
    ended_ = field.find('\0') != std::string::npos;
    if (ended_) observer_.FieldsEnded(FieldsEnd::kNul);
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
  Observer& observer_;
  std::size_t lines_ = 0;
  std::size_t bytes_ = 0;
  std::size_t scanned_ = 0;
  bool ended_ = false;
  bool tooLarge_ = false;
};

// The steps, compiled unwatched for the plugin and watched for an observer.
bool FindFormOn(std::string_view page, std::string_view& form, std::string& formAction,
                Unwatched&) {
  return FindForm(page, form, formAction);
}
bool FindFormOn(std::string_view page, std::string_view& form, std::string& formAction,
                Watched& watched) {
  return FindForm(page, form, formAction, watched.observer);
}
void ScanFieldsOn(std::string_view form, FieldSink& sink, Unwatched&) { ScanFields(form, sink); }
void ScanFieldsOn(std::string_view form, FieldSink& sink, Watched& watched) {
  ScanFields(form, sink, watched.observer);
}

// The direct link in an answer page: the first HREF="..." at or after the
// start of the line that holds the first "Your download link". False when
// there is none.
template <typename Observer>
bool ExtractDirectLinkOn(std::string_view answer, std::string_view& link, Observer& observer) {
  const std::size_t marker = FindFrom(answer, kLinkLineMarker);
  if (marker == kNpos) {
    observer.LinkSearch(kNpos, kNpos, kNpos, kNpos);
    return false;
  }
  // From the line break before the marker (or the start): the link may stand
  // on the marker's line before the marker, or on any later line.
  const std::size_t lineBreak = TextLastDelimiter("\n", answer.substr(0, marker));
  const std::size_t lineStart = lineBreak == 0 ? 0 : lineBreak - 1;
  const std::string_view fromLine = answer.substr(lineStart);
  const std::size_t href = FindFrom(fromLine, kHrefMarker);
  const std::size_t lineBreakAt = lineBreak == 0 ? kNpos : lineStart;
  if (href == kNpos) {
    observer.LinkSearch(marker, lineBreakAt, kNpos, kNpos);
    return false;
  }
  const std::string_view quoted = TailFrom(fromLine, href + kHrefMarker.size());
  const std::size_t quote = quoted.find('"');
  observer.LinkSearch(marker, lineBreakAt, lineStart + href, quote);
  if (quote == kNpos) return false;
  link = quoted.substr(0, quote);
  return true;
}

template <typename Observer>
Resolution ResolveDirectLinkOn(ResolverHost& host, const ResolverSettings& settings,
                               RequestBuffers& buffers, Observer& observer) {
  buffers.formAction.clear();
  buffers.params.clear();

  host.GetPage(buffers.text);
  if (buffers.text.empty()) return {};

  // The fields are scanned twice, the first time to measure: a growing buffer would hold up to
  // three times the parameters while it moves.
  std::string_view form;
  if (!FindFormOn(buffers.text, form, buffers.formAction, observer)) return {};
  ParamFilter<Observer> measure(buffers, nullptr, observer);
  ScanFieldsOn(form, measure, observer);
  if (measure.lines() == 0 || measure.tooLarge()) return {};
  buffers.params.reserve(measure.bytes());
  Unwatched unwatched;
  ParamFilter<Unwatched> filter(buffers, &buffers.params, unwatched);
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

  const std::size_t invalid = FindFrom(answer, kInvalidLinkMarker);
  observer.AnswerMarker(kInvalidLinkMarker, invalid);
  if (invalid != kNpos) return {Verdict::kNotFound, {}};
  const std::size_t faulty = FindFrom(answer, kFaultyLinkMarker);
  observer.AnswerMarker(kFaultyLinkMarker, faulty);
  if (faulty != kNpos) return {Verdict::kDeleted, {}};

  if (settings.debugMode) {
    std::string& path = buffers.scratch;
    path.assign(settings.dumpDir).append(settings.dumpFileName);
    host.SaveFile(path, buffers.text);
  }

  Resolution resolution;
  if (ExtractDirectLinkOn(answer, resolution.link, observer)) resolution.verdict = Verdict::kLink;
  return resolution;
}

}  // namespace

Resolution ResolveDirectLink(ResolverHost& host, const ResolverSettings& settings,
                             RequestBuffers& buffers) {
  Unwatched unwatched;
  return ResolveDirectLinkOn(host, settings, buffers, unwatched);
}

Resolution ResolveDirectLink(ResolverHost& host, const ResolverSettings& settings,
                             RequestBuffers& buffers, RoadObserver& observer) {
  Watched watched{observer};
  return ResolveDirectLinkOn(host, settings, buffers, watched);
}

}  // namespace velmora
