// Links handed to the host. The host never frees them (it has no way to), so
// the library keeps them until it is unloaded.
#ifndef VELMORA_PLUGIN_ISSUED_LINKS_H_
#define VELMORA_PLUGIN_ISSUED_LINKS_H_

#include <string_view>

namespace velmora {

// A new NUL-terminated copy of link, valid while the library is loaded.
const char* IssueLink(std::string_view link);

}  // namespace velmora

#endif  // VELMORA_PLUGIN_ISSUED_LINKS_H_
