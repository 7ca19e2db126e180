// The wire form of the plugin's form parameters.
#ifndef VELMORA_HOST_NET_FORM_ENCODING_H_
#define VELMORA_HOST_NET_FORM_ENCODING_H_

#include <string>
#include <string_view>

namespace velmora::host {

// Turns ParamText (one "name=value" line per field, lines ended by CR LF)
// into an application/x-www-form-urlencoded body: each line is split at its
// first "=", name and value are percent-encoded byte for byte (only ALPHA,
// DIGIT and "-._~" stay as they are; a space is "%20"), and the pairs are
// joined with "&" in line order. A line without "=" is a name with an empty
// value. Empty lines carry no field and are skipped; CR or LF alone also end
// a line.
std::string EncodeFormBody(std::string_view paramText);

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_FORM_ENCODING_H_
