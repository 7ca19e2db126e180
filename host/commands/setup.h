// What the commands do before their links run: load the plugin, open the
// folders they write into, make the session's settings. Everything that can
// fail at the start fails here, before anything is created.
#ifndef VELMORA_HOST_COMMANDS_SETUP_H_
#define VELMORA_HOST_COMMANDS_SETUP_H_

#include <memory>
#include <string>

#include "host/cli/options.h"
#include "host/download/downloader.h"
#include "host/io/safe_files.h"
#include "host/session/host_session.h"
#include "host/session/plugin_library.h"

namespace velmora::host {

// --plugin, or Velmora.plg next to the program. Throws PluginLoadError.
std::unique_ptr<PluginLibrary> LoadPlugin(const std::string& path);

// The session's settings, with the dump folder (--debug) open and checked;
// the folder stays open while this lives.
struct SessionSetup {
  UniqueFd dumpFolder;
  SessionOptions session;
};
SessionSetup PrepareSession(const ReportOptions& report, const DebugOptions& debug);

// get's output folder (empty: the current one), made when missing and
// checked; the folder stays open while this lives.
struct OutputSetup {
  UniqueFd folder;
  DownloadOptions download;
};
OutputSetup PrepareOutput(const std::string& dir, bool overwrite, bool resume);

}  // namespace velmora::host

#endif  // VELMORA_HOST_COMMANDS_SETUP_H_
