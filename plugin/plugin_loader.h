// Loads the built plugin the way a host of the platform does (dlopen, or
// LoadLibraryA), for the tests that see nothing but its exports.
#ifndef VELMORA_PLUGIN_PLUGIN_LOADER_H_
#define VELMORA_PLUGIN_PLUGIN_LOADER_H_

#include <string>

namespace velmora {

// The library handle, or null with the system's reason in error.
void* LoadPluginLibrary(const char* path, std::string& error);
// The export called name, or null.
void* FindExport(void* library, const char* name);
// Releases one reference; false when the system refuses.
bool UnloadPluginLibrary(void* library);
// Whether the library at path is mapped into the process (without loading it).
bool IsPluginLoaded(const char* path);

}  // namespace velmora

#endif  // VELMORA_PLUGIN_PLUGIN_LOADER_H_
