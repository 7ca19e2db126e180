#include "host/plugin_library.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

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

namespace velmora::host {
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
      if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 &&
          std::string(name, 3) == "GNU" && desc + note->n_descsz <= end) {
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
  if (dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return {};
  BuildIdSearch search{map->l_addr, {}};
  dl_iterate_phdr(&FindBuildId, &search);
  return search.id;
}

}  // namespace velmora::host
