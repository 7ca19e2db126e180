// Test support: loads the built plugin and finds its exports the way a host
// does, on either platform.
#ifndef VELMORA_PLUGIN_PLUGIN_LOADER_H_
#define VELMORA_PLUGIN_PLUGIN_LOADER_H_

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <string>

#include "plugin/plugin_api.h"

namespace velmora::testing {

class PluginLibrary {
 public:
  using InitFn = decltype(&PlgInit);
  using GetDirectLinkFn = decltype(&PlgGetDirectLink);
  using DestroyFn = decltype(&PlgDestroy);

  explicit PluginLibrary(std::string path) : path_(std::move(path)) {}
  ~PluginLibrary() { Unload(); }
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads the library and looks up the three exports; false if any fails.
  bool Load() {
#if defined(_WIN32)
    handle_ = LoadLibraryA(path_.c_str());
#else
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle_ == nullptr) return false;
    init = reinterpret_cast<InitFn>(Symbol("PlgInit"));
    getDirectLink = reinterpret_cast<GetDirectLinkFn>(Symbol("PlgGetDirectLink"));
    destroy = reinterpret_cast<DestroyFn>(Symbol("PlgDestroy"));
    return init != nullptr && getDirectLink != nullptr && destroy != nullptr;
  }

  // Unloads the library; true when it is gone from the process afterwards.
  bool Unload() {
    if (handle_ == nullptr) return true;
#if defined(_WIN32)
    FreeLibrary(handle_);
    handle_ = nullptr;
    return GetModuleHandleA(path_.c_str()) == nullptr;
#else
    dlclose(handle_);
    handle_ = nullptr;
    void* still = dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (still == nullptr) return true;
    dlclose(still);
    return false;
#endif
  }

  InitFn init = nullptr;
  GetDirectLinkFn getDirectLink = nullptr;
  DestroyFn destroy = nullptr;

 private:
#if defined(_WIN32)
  void* Symbol(const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(handle_, name));
  }
  HMODULE handle_ = nullptr;
#else
  void* Symbol(const char* name) { return dlsym(handle_, name); }
  void* handle_ = nullptr;
#endif
  std::string path_;
};

}  // namespace velmora::testing

#endif  // VELMORA_PLUGIN_PLUGIN_LOADER_H_
