#include "host/commands/setup.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/cli/exit_codes.h"
#include "host/io/diagnostics.h"
#include "host/net/curl_share.h"
#include "host/run/failed_links.h"

namespace velmora::host {
namespace {

// A folder the run writes into, made when missing; refused with a sentence
// naming it (what: "dump folder", ...) when it cannot be written.
UniqueFd OpenWritableFolder(const std::string& dir, const std::string& what) {
  UniqueFd folder;
  try {
    folder = OpenFolder(dir, true);
  } catch (const FileError& error) {
    throw RecordingError("the " + what + " cannot be used: " + error.what());
  }
  if (faccessat(folder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    throw RecordingError("the " + what + " " + dir + " is not writable: " + std::strerror(errno));
  }
  return folder;
}

// Without --plugin: Velmora.plg next to the program (as in the build folder),
// else in VELMORA_PLUGIN_DIR_FROM_PROGRAM from there (the installed layout,
// wherever it was unpacked); the first that exists. Never the current folder:
// anyone may put a file there, and a plugin is code the program runs.
std::string DefaultPluginPath() {
  const std::filesystem::path folder = ProgramFolder();
  if (folder.empty()) {
    throw PluginLoadError(
        "cannot tell where velmora-host is (no /proc/self/exe), so not where "
        "its plugin is: name it with --plugin");
  }
  const std::filesystem::path nextTo = folder / "Velmora.plg";
  const std::filesystem::path installed =
      (folder / VELMORA_PLUGIN_DIR_FROM_PROGRAM / "Velmora.plg").lexically_normal();
  for (const std::filesystem::path& path : {nextTo, installed}) {
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored)) return path.string();
  }
  throw PluginLoadError("cannot find the plugin: neither " + nextTo.string() + " nor " +
                        installed.string() + " exists; name one with --plugin");
}

// Puts the --failed-to file in place and says so; a file that cannot be
// written raises code to 73 (a signal's or stdout's code stays).
int CommitFailedLinks(FailedLinks& failed, int code) {
  const std::string why = failed.Commit();
  if (!why.empty()) {
    Say("cannot write the failed links to " + failed.path() + ": " + why + "; it is as it was.");
    return code >= kExitOutput ? code : std::max(code, kExitCannotWrite);
  }
  if (failed.count() > 0) {
    Say(std::to_string(failed.count()) + " link(s) that did not succeed are in " + failed.path() +
        "; -a " + failed.path() + " retries them.");
  }
  return code;
}

}  // namespace

std::unique_ptr<PluginLibrary> LoadPlugin(const std::string& path) {
  return std::make_unique<PluginLibrary>(path.empty() ? DefaultPluginPath() : path);
}

SessionSetup PrepareSession(const ReportOptions& report, const DebugOptions& debug) {
  SessionSetup made;
  made.session.debug = debug.debug || !debug.dumpDir.empty();
  made.session.trace = report.trace || report.traceCookies;
  made.session.traceCookies = report.traceCookies;
  if (!made.session.debug) return made;
  // The plugin appends its file name to the prefix as it is, so the folder
  // goes over with its separator.
  std::string dir = debug.dumpDir.empty() ? "." : debug.dumpDir;
  made.dumpFolder = OpenWritableFolder(dir, "dump folder");
  if (dir.back() != '/') dir += '/';
  made.session.dumpDir = dir;
  made.session.dumpFolder = made.dumpFolder.get();
  return made;
}

CLI::App* AddLinkCommand(CLI::App& app, const char* name, const char* description,
                         LinkOptions& options, const char* jobs) {
  CLI::App* command = app.add_subcommand(name, description);
  AddLinkOptions(*command, options, jobs);
  return command;
}

int CollectLinks(const LinkOptions& options, Batch& batch) {
  if (const int code = CollectUrls(options.urls, options.batchFiles, batch)) return code;
  if (!options.failedTo.empty()) {
    const std::string why = FailedLinks::Check(options.failedTo);
    if (!why.empty()) {
      Say("cannot write the failed links to " + options.failedTo + ": " + why + ".");
      return kExitCannotWrite;
    }
  }
  return CheckNetworkOptions(options.http);
}

int RunLiveLinks(const LinkOptions& options, Batch& batch, const SessionSetup& setup,
                 PluginLibrary& plugin, RecordingStore* store, const DownloadOptions* download,
                 RunSettings settings) {
  std::unique_ptr<FailedLinks> failed;
  if (!options.failedTo.empty()) {
    try {
      failed = std::make_unique<FailedLinks>(options.failedTo);
    } catch (const FileError& error) {
      throw RecordingError("cannot write the failed links to " + options.failedTo + ": " +
                           error.what());
    }
    settings.failed = failed.get();
  }
  CurlShare share;
  // No more jobs than links: reading that far ahead tells, without waiting
  // on a stdin whose next line is not there yet.
  const size_t links = batch.Ahead(std::max<size_t>(options.jobs, 2), false);
  std::vector<JobTools> tools =
      LiveTools(options.http, options.jobs, links, share, store, download);
  HostSession session(plugin, *tools[0].transport, setup.session);
  settings.batch = batch.fromInput || links > 1;
  int code = RunLinks(settings, session, tools, batch);
  if (failed) code = CommitFailedLinks(*failed, code);
  return code;
}

RunSettings SettingsFor(const SessionSetup& setup, bool json) {
  RunSettings settings;
  settings.json = json;
  settings.showProgress = !setup.session.trace && !setup.session.debug;
  settings.trace = setup.session.trace;
  settings.traceCookies = setup.session.traceCookies;
  // For the tests, which cannot run a thousand links to see a reload.
  if (const char* every = std::getenv("VELMORA_PLUGIN_RELOAD_EVERY")) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(every, &end, 10);
    if (*every != '\0' && *end == '\0') settings.reloadEvery = static_cast<size_t>(value);
  }
  return settings;
}

int OpenRecording(const std::string& dir, size_t maxFileBytes, const std::string& verb,
                  Recording& recording) {
  try {
    recording = LoadRecording(dir, maxFileBytes);
  } catch (const RecordingError& error) {
    Say("cannot " + verb + ": " + error.what() + ".");
    return kExitNoInput;
  }
  for (const std::string& note : recording.notes) Say("note: " + note + ".");
  if (recording.links.empty()) {
    Say("cannot " + verb + ": the recording in " + dir + " holds no link.");
    return kExitNoInput;
  }
  return 0;
}

OutputSetup PrepareOutput(const std::string& dir, bool overwrite, bool resume, bool acceptWebPage) {
  OutputSetup made;
  const std::string path = dir.empty() ? "." : dir;
  made.folder = OpenWritableFolder(path, "output folder");
  made.download.folder = made.folder.get();
  made.download.folderShown = dir.empty() ? "" : path.back() == '/' ? path : path + "/";
  made.download.overwrite = overwrite;
  made.download.resume = resume;
  made.download.acceptWebPage = acceptWebPage;
  made.names = std::make_unique<DownloadNames>();
  made.download.names = made.names.get();
  return made;
}

}  // namespace velmora::host
