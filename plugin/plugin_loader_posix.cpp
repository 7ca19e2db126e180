#include <dlfcn.h>

#include "plugin/plugin_loader.h"

namespace velmora {

void* LoadPluginLibrary(const char* path, std::string& error) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) error = dlerror();
  return library;
}

void* FindExport(void* library, const char* name) { return dlsym(library, name); }

bool UnloadPluginLibrary(void* library) { return dlclose(library) == 0; }

bool IsPluginLoaded(const char* path) {
  void* library = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return false;
  dlclose(library);
  return true;
}

}  // namespace velmora
