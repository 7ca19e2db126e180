// velmora-host get: each link resolved, then its file downloaded.
#include <memory>

#include "host/cli/exit_codes.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"
#include "host/io/diagnostics.h"
#include "host/run/archive.h"

namespace velmora::host {
namespace {

struct GetOptions : LinkOptions {
  GetOptions() { jobs = 4; }
  std::string dir;
  bool overwrite = false;
  bool resume = false;
  bool acceptWebPage = false;
  bool quiet = false;
  std::string archive;
};

int RunGet(const GetOptions& options) {
  Batch batch;
  if (const int code = CollectLinks(options, batch)) return code;
  std::unique_ptr<Archive> archive;
  if (!options.archive.empty()) {
    try {
      archive = std::make_unique<Archive>(options.archive);
    } catch (const FileError& error) {
      Say(std::string("cannot use the archive: ") + error.what() + ".");
      return kExitNoInput;
    }
  }
  const SessionSetup setup = PrepareSession(options.report, options.debug);
  const OutputSetup output =
      PrepareOutput(options.dir, options.overwrite, options.resume, options.acceptWebPage);
  auto plugin = LoadPlugin(options.report.plugin);
  RunSettings settings = SettingsFor(setup, options.report.json);
  settings.quiet = options.quiet;
  settings.download = true;
  settings.deadlineSeconds = options.http.deadlineSeconds;
  settings.archive = archive.get();
  return RunLiveLinks(options, batch, setup, *plugin, nullptr, &output.download, settings);
}

}  // namespace

Command AddGetCommand(CLI::App& app) {
  auto options = std::make_shared<GetOptions>();
  CLI::App* command = AddLinkCommand(app, "get", "Resolve links and download their files", *options,
                                     "Links resolved and downloaded at once");
  command
      ->add_option("-o,--output-dir", options->dir,
                   "Folder to save the files in (created when missing)")
      ->default_str("the current one");
  command->add_flag("--overwrite", options->overwrite,
                    "Replace a file of the same name from an earlier run (else the name gets "
                    "\" (1)\", \" (2)\" ...)");
  command->add_flag("-c,--continue", options->resume,
                    "Go on with a NAME.part an earlier run left for the same link and file "
                    "(a Range request with If-Range)");
  command->add_flag("--accept-web-page", options->acceptWebPage,
                    "Save a web page the server sends instead of the file (refused by default)");
  command->add_flag("-q,--quiet", options->quiet,
                    "No progress display, no line per saved file or skipped link");
  command->add_option("--archive", options->archive,
                      "Skip the links listed in FILE (one a line); add each link whose file is "
                      "saved (FILE is created when missing)");
  AddFailedToOption(*command, options->failedTo);
  command->footer(ExitCodesFooter(kGetCommand));
  return {command, [options] { return RunGet(*options); }};
}

}  // namespace velmora::host
