// velmora-host --version: the program, the plugin it loads, libcurl.
#include <iostream>

#include "host/cli/exit_codes.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"
#include "host/io/diagnostics.h"
#include "host/io/terminal_text.h"
#include "host/net/http_connection.h"
#include "host/session/plugin_library.h"

namespace velmora::host {

int PrintVersion() {
  std::cout << "velmora-host " << VELMORA_VERSION << "\n";
  int code = kExitOk;
  try {
    const std::unique_ptr<PluginLibrary> plugin = LoadPlugin("");
    const std::string id = plugin->BuildId();
    std::cout << "plugin: " << Shown(plugin->path())
              << (id.empty() ? " (no build id)" : ", build id " + id) << "\n";
  } catch (const PluginLoadError& error) {
    std::cout << "plugin: " << Shown(error.what()) << "\n";
    Say(std::string(error.what()) + ".");
    code = kExitNoPlugin;
  }
  std::cout << CurlVersionText() << "\n" << std::flush;
  if (!std::cout) {
    Say("cannot write to standard output.");
    return kExitOutput;
  }
  return code;
}

}  // namespace velmora::host
