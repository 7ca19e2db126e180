// What the commands do before their links run: load the plugin, open the
// folders they write into, make the session's settings. Everything that can
// fail at the start fails here, before anything is created.
#ifndef VELMORA_HOST_COMMANDS_SETUP_H_
#define VELMORA_HOST_COMMANDS_SETUP_H_

#include <memory>
#include <string>

#include "host/cli/batch_input.h"
#include "host/cli/options.h"
#include "host/download/downloader.h"
#include "host/download/part_file.h"
#include "host/io/safe_files.h"
#include "host/net/recording.h"
#include "host/run/link_runner.h"
#include "host/session/host_session.h"
#include "host/session/plugin_library.h"

namespace velmora::host {

// --plugin, or else Velmora.plg next to the program or in the plugin folder
// of the installed layout (setup.cpp). Throws PluginLoadError.
std::unique_ptr<PluginLibrary> LoadPlugin(const std::string& path);

// The session's settings, with the dump folder (--debug) open and checked;
// the folder stays open while this lives.
struct SessionSetup {
  UniqueFd dumpFolder;
  SessionOptions session;
};
SessionSetup PrepareSession(const ReportOptions& report, const DebugOptions& debug);

// Adds a subcommand that takes links (resolve, get) with the options all
// such commands share; jobs says what a job does.
CLI::App* AddLinkCommand(CLI::App& app, const char* name, const char* description,
                         LinkOptions& options, const char* jobs);

// The links of options, and its network options checked. Returns 0, or
// the exit code having said why.
int CollectLinks(const LinkOptions& options, Batch& batch);

// Runs batch live through plugin (resolve, get), taking its links as they
// run: the run's connections,
// with a recorder (store) or downloads (download) where given, and the
// session; returns RunLinks' exit code.
int RunLiveLinks(const LinkOptions& options, Batch& batch, const SessionSetup& setup,
                 PluginLibrary& plugin, RecordingStore* store, const DownloadOptions* download,
                 RunSettings settings);

// The run's settings that the session's decide: no progress display with
// --trace or --debug, whose lines would mix with it. The environment
// variable VELMORA_PLUGIN_RELOAD_EVERY, a number (0: never), replaces
// kPluginReloadEvery: for tests, not shown to users.
RunSettings SettingsFor(const SessionSetup& setup, bool json);

// The recording in dir, read as hostile (net/recording.h), its notes said.
// Returns 0, or kExitNoInput having said why it cannot VERB it (also when
// it holds no link).
int OpenRecording(const std::string& dir, size_t maxFileBytes, const std::string& verb,
                  Recording& recording);

// get's output folder (empty: the current one), made when missing and
// checked; the folder stays open while this lives.
struct OutputSetup {
  UniqueFd folder;
  std::unique_ptr<DownloadNames> names;  // held by the run's downloads
  DownloadOptions download;
};
OutputSetup PrepareOutput(const std::string& dir, bool overwrite, bool resume, bool acceptWebPage);

}  // namespace velmora::host

#endif  // VELMORA_HOST_COMMANDS_SETUP_H_
