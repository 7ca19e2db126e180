#include "host/session/plugin_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <filesystem>
#endif

namespace velmora::host {
namespace {

#if defined(_WIN32)
void* Open(const std::string& path, std::string& error) {
  HMODULE library = LoadLibraryA(path.c_str());
  if (library == nullptr) error = "LoadLibraryA failed, error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(library);
}
void Close(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
void* Symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
// dlopen searches the library path for a bare name; a plugin is a file.
std::string FileOf(const std::string& path) {
  return path.find('/') == std::string::npos ? "./" + path : path;
}
void* Open(const std::string& path, std::string& error) {
  void* library = dlopen(FileOf(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    error = why ? why : "unknown error";
  }
  return library;
}
void Close(void* library) { dlclose(library); }
void* Symbol(void* library, const char* name) { return dlsym(library, name); }
#endif

}  // namespace

std::string ProgramFolder() {
#if defined(_WIN32)
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return {};
  const std::string path(self, length);
  return path.substr(0, path.find_last_of("\\/") + 1);
#else
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || !self.is_absolute()) return {};
  return (self.parent_path() / "").string();
#endif
}

PluginLibrary::PluginLibrary(const std::string& path) : path_(path) {
  std::string why;
  handle_ = Open(path, why);
  if (handle_ == nullptr) throw PluginLoadError("cannot load the plugin " + path + ": " + why);
  Bind();
}

void PluginLibrary::Bind() {
  Init = reinterpret_cast<decltype(Init)>(FindExport("PlgInit"));
  GetDirectLink = reinterpret_cast<decltype(GetDirectLink)>(FindExport("PlgGetDirectLink"));
  Destroy = reinterpret_cast<decltype(Destroy)>(FindExport("PlgDestroy"));
  if (Init == nullptr || GetDirectLink == nullptr || Destroy == nullptr) {
    Close(handle_);
    handle_ = nullptr;
    throw PluginLoadError(path_ +
                          " is not a Velmora plugin: it lacks PlgInit, PlgGetDirectLink "
                          "or PlgDestroy");
  }
}

PluginLibrary::~PluginLibrary() {
  if (handle_ != nullptr) Close(handle_);
}

void PluginLibrary::Reload() {
  Init = nullptr;
  GetDirectLink = nullptr;
  Destroy = nullptr;
  if (handle_ != nullptr) Close(handle_);
  std::string why;
  handle_ = Open(path_, why);
  if (handle_ == nullptr)
    throw PluginLoadError("cannot load the plugin " + path_ + " again: " + why);
  Bind();
}

void* PluginLibrary::FindExport(const char* name) const {
  return handle_ != nullptr ? Symbol(handle_, name) : nullptr;
}

bool PluginLibrary::IsLoaded(const std::string& path) {
#if defined(_WIN32)
  return GetModuleHandleA(path.c_str()) != nullptr;
#else
  void* library = dlopen(FileOf(path).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return false;
  dlclose(library);
  return true;
#endif
}

#if defined(_WIN32)
std::string PluginLibrary::BuildId() const { return {}; }  // PE files carry none
#else
namespace {

struct BuildIdSearch {
  ElfW(Addr) base;
  std::string id;
};

int FindBuildId(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<BuildIdSearch*>(data);
  if (info->dlpi_addr != search->base) return 0;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_NOTE) continue;
    const char* at = reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr);
    const char* end = at + segment.p_memsz;
    while (at + sizeof(ElfW(Nhdr)) <= end) {
      const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(at);
      const char* name = at + sizeof(ElfW(Nhdr));
      const char* desc = name + ((note->n_namesz + 3) & ~3u);
      if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 && std::string(name, 3) == "GNU" &&
          desc + note->n_descsz <= end) {
        static const char kHex[] = "0123456789abcdef";
        for (ElfW(Word) k = 0; k < note->n_descsz; ++k) {
          const unsigned char byte = static_cast<unsigned char>(desc[k]);
          search->id += kHex[byte >> 4];
          search->id += kHex[byte & 15];
        }
        return 1;
      }
      at = desc + ((note->n_descsz + 3) & ~3u);
    }
  }
  return 1;
}

}  // namespace

std::string PluginLibrary::BuildId() const {
  link_map* map = nullptr;
  if (handle_ == nullptr) return {};
  if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
  BuildIdSearch search{map->l_addr, {}};
  dl_iterate_phdr(&FindBuildId, &search);
  return search.id;
}

#endif

}  // namespace velmora::host
