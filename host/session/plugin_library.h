// The plugin, loaded at run time the way the download manager loads it
// (dlopen, or LoadLibraryA on Win32). velmora-host's loader, and the tests'.
#ifndef VELMORA_HOST_SESSION_PLUGIN_LIBRARY_H_
#define VELMORA_HOST_SESSION_PLUGIN_LIBRARY_H_

#include <stdexcept>
#include <string>

#include "plugin/plugin_api.h"

namespace velmora::host {

class PluginLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The folder of the running program's file, symbolic links resolved, ending
// in its separator; empty when the system cannot say (no /proc).
std::string ProgramFolder();

// Owns the loaded library; unloads it on destruction.
class PluginLibrary {
 public:
  explicit PluginLibrary(const std::string& path);  // throws PluginLoadError
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  const std::string& path() const { return path_; }
  // The export called name, or null.
  void* FindExport(const char* name) const;
  // Whether the library at path is mapped into the process (without loading it).
  static bool IsLoaded(const std::string& path);
  // Unloads the library and loads the file again: everything it held is
  // gone (call its PlgDestroy first). Throws PluginLoadError, leaving it
  // unloaded, when the file can no longer be loaded.
  void Reload();
  // The GNU build id of the loaded file in hex, or empty when it has none.
  std::string BuildId() const;

  decltype(&PlgInit) Init = nullptr;
  decltype(&PlgGetDirectLink) GetDirectLink = nullptr;
  decltype(&PlgDestroy) Destroy = nullptr;

 private:
  std::string path_;
  void* handle_ = nullptr;

  void Bind();  // the exports of handle_
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_SESSION_PLUGIN_LIBRARY_H_
