// Windows-1251, the code page of the plugin's debug messages, shown as UTF-8.
#ifndef VELMORA_HOST_SESSION_CP1251_H_
#define VELMORA_HOST_SESSION_CP1251_H_

#include <string>
#include <string_view>

namespace velmora::host {

// Decodes every byte; the one byte 1251 leaves undefined (0x98) becomes U+FFFD.
std::string DecodeCp1251(std::string_view bytes);

}  // namespace velmora::host

#endif  // VELMORA_HOST_SESSION_CP1251_H_
