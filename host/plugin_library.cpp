#include "host/plugin_library.h"

#include <dlfcn.h>

#include <filesystem>

namespace velmora::host {

std::string DefaultPluginPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "Velmora.plg";
  return (self.parent_path() / "Velmora.plg").string();
}

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
  // dlopen searches the library path for a bare name; a plugin is a file.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    throw PluginLoadError("cannot load the plugin " + path + ": " + (why ? why : "unknown error"));
  }
  Init = reinterpret_cast<decltype(Init)>(dlsym(handle_, "PlgInit"));
  GetDirectLink = reinterpret_cast<decltype(GetDirectLink)>(dlsym(handle_, "PlgGetDirectLink"));
  Destroy = reinterpret_cast<decltype(Destroy)>(dlsym(handle_, "PlgDestroy"));
  if (Init == nullptr || GetDirectLink == nullptr || Destroy == nullptr) {
    dlclose(handle_);
    throw PluginLoadError(path + " is not a Velmora plugin: it lacks PlgInit, PlgGetDirectLink "
                          "or PlgDestroy");
  }
}

PluginLibrary::~PluginLibrary() { dlclose(handle_); }

}  // namespace velmora::host
