// Pulls the first form's action URL and input fields out of a page. Not an
// HTML parser: a fixed sequence of case-sensitive searches for upper-case
// markers and cuts between double quotes.
#ifndef VELMORA_RESOLVE_FORM_SCANNER_H_
#define VELMORA_RESOLVE_FORM_SCANNER_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

class RoadObserver;

// The markers the scanner searches for, as written (upper case, double quote).
inline constexpr std::string_view kFormOpenMarker = "<FORM";
inline constexpr std::string_view kFormCloseMarker = "</FORM";
inline constexpr std::string_view kActionMarker = "ACTION=\"";
inline constexpr std::string_view kInputMarker = "<INPUT";
inline constexpr std::string_view kNameMarker = "NAME=\"";
inline constexpr std::string_view kValueMarker = "VALUE=\"";

// The longest action URL the scanner accepts, in bytes.
inline constexpr std::size_t kMaxActionBytes = 255;

// Receives the accepted fields of a scanned form, in the order of their
// "<INPUT" markers. The views are valid during the call only.
class FieldSink {
 public:
  virtual void Add(std::string_view name, std::string_view value) = 0;

 protected:
  ~FieldSink() = default;
};

// The first form of page, from its "<FORM" up to its "</FORM", into form,
// and its action URL into formAction. False, with formAction left as it
// was, when the page has no form, no closing marker, or no usable action.
bool FindForm(std::string_view page, std::string_view& form, std::string& formAction);
// The same, telling observer what each search found.
bool FindForm(std::string_view page, std::string_view& form, std::string& formAction,
              RoadObserver& observer);

// Hands every field of form (as FindForm gives it) with a non-empty name to
// sink, in the order of the "<INPUT" markers.
//
// NAME=" and VALUE=" are searched in everything after the current "<INPUT"
// up to the end of the form, so a tag without a name or value borrows the
// next one in the form. One scan over the form does all inputs: an
// occurrence found for one input serves the later ones until they pass it.
void ScanFields(std::string_view form, FieldSink& sink);
// The same, telling observer about every "<INPUT".
void ScanFields(std::string_view form, FieldSink& sink, RoadObserver& observer);

}  // namespace velmora

#endif  // VELMORA_RESOLVE_FORM_SCANNER_H_
