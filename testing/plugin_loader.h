// The plugin under test, loaded and unloaded at will with velmora-host's
// loader (host/session/plugin_library.h), for the tests that see nothing but its
// exports.
#ifndef VELMORA_TESTING_PLUGIN_LOADER_H_
#define VELMORA_TESTING_PLUGIN_LOADER_H_

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "host/session/plugin_library.h"
#include "plugin/plugin_api.h"

namespace velmora::testing {

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

  // Loads the library and finds the three exports; false, with the reason
  // printed, if any fails.
  bool Load() {
    try {
      library_.emplace(path_);
    } catch (const host::PluginLoadError& error) {
      std::fprintf(stderr, "%s\n", error.what());
      return false;
    }
    init = library_->Init;
    getDirectLink = library_->GetDirectLink;
    destroy = library_->Destroy;
    return true;
  }

  // Unloads the library; true when it is gone from the process afterwards.
  bool Unload() {
    if (!library_) return true;
    library_.reset();
    init = nullptr;
    getDirectLink = nullptr;
    destroy = nullptr;
    return !host::PluginLibrary::IsLoaded(path_);
  }

  // An export of the loaded library, or null.
  void* FindExport(const char* name) const {
    return library_ ? library_->FindExport(name) : nullptr;
  }

  InitFn init = nullptr;
  GetDirectLinkFn getDirectLink = nullptr;
  DestroyFn destroy = nullptr;

 private:
  std::string path_;
  std::optional<host::PluginLibrary> library_;
};

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_PLUGIN_LOADER_H_
