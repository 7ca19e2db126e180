// The form scanner's result as the parameter text: FindForm, then ScanFields
// writing one line per field. What the scanner's tests, the differential
// test and the scanner's fuzz target compare; the plugin filters the fields
// on their way instead (resolve/link_resolver.cpp).
#ifndef VELMORA_TESTING_SCAN_FORM_H_
#define VELMORA_TESTING_SCAN_FORM_H_

#include <string>
#include <string_view>

namespace velmora::testing {

// Scans page for the first form. params receives one line "name=value" CR LF
// per input field with a non-empty name, in the order of the "<INPUT"
// markers; it is empty when nothing was accepted. formAction receives the
// form's action URL once the form and its action were found, and is left as
// it was otherwise.
void ScanForm(std::string_view page, std::string& formAction, std::string& params);

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_SCAN_FORM_H_
