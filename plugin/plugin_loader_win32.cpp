#include <windows.h>

#include "plugin/plugin_loader.h"

namespace velmora {

void* LoadPluginLibrary(const char* path, std::string& error) {
  HMODULE library = LoadLibraryA(path);
  if (library == nullptr) error = "LoadLibraryA failed, error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(library);
}

void* FindExport(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool UnloadPluginLibrary(void* library) { return FreeLibrary(static_cast<HMODULE>(library)) != 0; }

bool IsPluginLoaded(const char* path) { return GetModuleHandleA(path) != nullptr; }

}  // namespace velmora
