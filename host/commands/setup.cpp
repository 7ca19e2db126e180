#include "host/commands/setup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/net/recording.h"

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

OutputSetup PrepareOutput(const std::string& dir, bool overwrite, bool resume) {
  OutputSetup made;
  const std::string path = dir.empty() ? "." : dir;
  made.folder = OpenWritableFolder(path, "output folder");
  made.download.folder = made.folder.get();
  made.download.folderShown = dir.empty() ? "" : path.back() == '/' ? path : path + "/";
  made.download.overwrite = overwrite;
  made.download.resume = resume;
  return made;
}

}  // namespace velmora::host
