#include "resolve/form_scanner.h"

#include "resolve/road_observer.h"
#include "resolve/text_primitives.h"

namespace velmora {
namespace {

// The quoted attribute that follows the next occurrence of a marker such as
// NAME=" in the form. Remembers the occurrence, so that inputs before it
// share one search instead of each scanning up to it again.
class AttributeCursor {
 public:
  AttributeCursor(std::string_view form, std::string_view marker) : form_(form), marker_(marker) {}

  // The attribute value of the first marker at or after from; empty when
  // there is none or its closing quote is missing.
  std::string_view At(std::size_t from) {
    if (exhausted_) return {};
    if (!found_ || occurrence_ < from) Seek(from);
    return value_;
  }
  // The occurrence the last At() took (kNpos when none) and whether its
  // closing quote was found.
  std::size_t occurrence() const { return occurrence_; }
  bool closed() const { return closed_; }

 private:
  void Seek(std::size_t from) {
    occurrence_ = FindFrom(form_, marker_, from);
    found_ = true;
    value_ = {};
    closed_ = false;
    if (occurrence_ == kNpos) {
      exhausted_ = true;  // nothing later can match either
      return;
    }
    const std::size_t start = occurrence_ + marker_.size();
    const std::size_t quote = form_.find('"', start);
    if (quote != kNpos) value_ = form_.substr(start, quote - start);
    closed_ = quote != kNpos;
  }

  std::string_view form_;
  std::string_view marker_;
  std::size_t occurrence_ = 0;
  std::string_view value_;
  bool found_ = false;
  bool closed_ = false;
  bool exhausted_ = false;
};

template <typename Observer>
bool FindFormOn(std::string_view page, std::string_view& form, std::string& formAction,
                Observer& observer) {
  const std::size_t formStart = FindFrom(page, kFormOpenMarker);
  observer.FormOpen(formStart);
  if (formStart == kNpos) return false;
  const std::string_view fromForm = page.substr(formStart);
  const std::size_t formEnd = FindFrom(fromForm, kFormCloseMarker);
  observer.FormClose(formEnd == kNpos ? kNpos : formStart + formEnd);
  if (formEnd == kNpos) return false;
  const std::string_view wholeForm = fromForm.substr(0, formEnd);

  // The action is searched in the whole form, not only its opening tag.
  const std::size_t actionAt = FindFrom(wholeForm, kActionMarker);
  if (actionAt == kNpos) {
    observer.Action(kNpos, kNpos);
    return false;
  }
  const std::string_view actionWindow =
      TailFrom(wholeForm, actionAt + kActionMarker.size()).substr(0, kMaxActionBytes + 1);
  const std::size_t actionEnd = actionWindow.find('"');
  observer.Action(formStart + actionAt, actionEnd);
  if (actionEnd == kNpos) return false;  // unterminated, or longer than allowed
  formAction.assign(actionWindow.data(), actionEnd);
  form = wholeForm;
  return true;
}

template <typename Observer>
void ScanFieldsOn(std::string_view form, FieldSink& sink, Observer& observer) {
  AttributeCursor names(form, kNameMarker);
  AttributeCursor values(form, kValueMarker);
  for (std::size_t input = FindFrom(form, kInputMarker); input != kNpos;) {
    const std::size_t rest = input + kInputMarker.size();
    const std::string_view name = names.At(rest);
    const std::string_view value = values.At(rest);
    observer.Input({input, names.occurrence(), names.closed(), values.occurrence(), values.closed(),
                    name, value});
    if (!name.empty()) sink.Add(name, value);
    input = FindFrom(form, kInputMarker, rest);
  }
}

}  // namespace

bool FindForm(std::string_view page, std::string_view& form, std::string& formAction) {
  Unwatched unwatched;
  return FindFormOn(page, form, formAction, unwatched);
}

bool FindForm(std::string_view page, std::string_view& form, std::string& formAction,
              RoadObserver& observer) {
  Watched watched{observer};
  return FindFormOn(page, form, formAction, watched);
}

void ScanFields(std::string_view form, FieldSink& sink) {
  Unwatched unwatched;
  ScanFieldsOn(form, sink, unwatched);
}

void ScanFields(std::string_view form, FieldSink& sink, RoadObserver& observer) {
  Watched watched{observer};
  ScanFieldsOn(form, sink, watched);
}

}  // namespace velmora
