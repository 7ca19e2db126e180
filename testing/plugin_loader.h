// Loads the built plugin the way a host of the platform does (dlopen, or
// LoadLibraryA), for the tests that see nothing but its exports.
#ifndef VELMORA_PLUGIN_PLUGIN_LOADER_H_
#define VELMORA_PLUGIN_PLUGIN_LOADER_H_

#include <string>
#include <utility>

#include "plugin/plugin_api.h"

namespace velmora {

// The library handle, or null with the system's reason in error.
void* LoadPluginLibrary(const char* path, std::string& error);
// The export called name, or null.
void* FindExport(void* library, const char* name);
// Releases one reference; false when the system refuses.
bool UnloadPluginLibrary(void* library);
// Whether the library at path is mapped into the process (without loading it).
bool IsPluginLoaded(const char* path);

namespace testing {

// The plugin at path with its three exports, unloaded with the object.
class PluginLibrary {
 public:
  using InitFn = decltype(&PlgInit);
  using GetDirectLinkFn = decltype(&PlgGetDirectLink);
  using DestroyFn = decltype(&PlgDestroy);

  explicit PluginLibrary(std::string path) : path_(std::move(path)) {}
  ~PluginLibrary() { Unload(); }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads the library and finds the three exports; false if any fails.
  bool Load() {
    std::string error;
    handle_ = LoadPluginLibrary(path_.c_str(), error);
    if (handle_ == nullptr) return false;
    init = reinterpret_cast<InitFn>(FindExport(handle_, "PlgInit"));
    getDirectLink = reinterpret_cast<GetDirectLinkFn>(FindExport(handle_, "PlgGetDirectLink"));
    destroy = reinterpret_cast<DestroyFn>(FindExport(handle_, "PlgDestroy"));
    return init != nullptr && getDirectLink != nullptr && destroy != nullptr;
  }

  // Unloads the library; true when it is gone from the process afterwards.
  bool Unload() {
    if (handle_ == nullptr) return true;
    UnloadPluginLibrary(handle_);
    handle_ = nullptr;
    return !IsPluginLoaded(path_.c_str());
  }

  InitFn init = nullptr;
  GetDirectLinkFn getDirectLink = nullptr;
  DestroyFn destroy = nullptr;

 private:
  void* handle_ = nullptr;
  std::string path_;
};

}  // namespace testing
}  // namespace velmora

#endif  // VELMORA_PLUGIN_PLUGIN_LOADER_H_
