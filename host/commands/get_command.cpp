// velmora-host get: each link resolved, then its file downloaded.
#include <memory>

#include "host/cli/batch_input.h"
#include "host/cli/exit_codes.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"
#include "host/io/diagnostics.h"
#include "host/net/curl_share.h"
#include "host/run/link_runner.h"

namespace velmora::host {
namespace {

struct GetOptions {
  ReportOptions report;
  DebugOptions debug;
  HttpOptions http;
  size_t jobs = 4;
  std::vector<std::string> urls;
  std::vector<std::string> batchFiles;
  std::string dir;
  bool overwrite = false;
  bool resume = false;
  bool quiet = false;
};

int RunGet(const GetOptions& options) {
  Batch batch;
  if (const int code = CollectUrls(options.urls, options.batchFiles, batch)) return code;
  if (const int code = CheckNetworkOptions(options.http)) return code;
  const SessionSetup setup = PrepareSession(options.report, options.debug);
  const OutputSetup output = PrepareOutput(options.dir, options.overwrite, options.resume);
  auto plugin = LoadPlugin(options.report.plugin);
  CurlShare share;
  std::vector<JobTools> tools = LiveTools(options.http, options.jobs, batch.items.size(), share,
                                          nullptr, &output.download);
  HostSession session(*plugin, *tools[0].transport, setup.session);
  RunSettings settings;
  settings.batch = batch.fromInput || batch.items.size() > 1;
  settings.json = options.report.json;
  settings.showProgress = !setup.session.trace && !setup.session.debug;
  settings.quiet = options.quiet;
  settings.download = true;
  settings.trace = setup.session.trace;
  settings.traceCookies = setup.session.traceCookies;
  settings.deadlineSeconds = options.http.deadlineSeconds;
  return RunLinks(settings, session, tools, batch.items);
}

}  // namespace

Command AddGetCommand(CLI::App& app) {
  auto options = std::make_shared<GetOptions>();
  CLI::App* command = app.add_subcommand(
      "get", "Resolve links and download their files (\"-\" or -a FILE: one URL a line)");
  AddReportOptions(*command, options->report, true);
  AddDebugOptions(*command, options->debug);
  AddNetworkOptions(*command, options->http);
  AddJobsOption(*command, options->jobs, "Links resolved and downloaded at once");
  command->add_option("-o,--output-dir", options->dir,
                      "Folder to save the files in (created when missing)")
      ->default_str("the current one");
  command->add_flag("--overwrite", options->overwrite,
                    "Replace a file of the same name (else the name gets \" (1)\", \" (2)\" ...)");
  command->add_flag("-c,--continue", options->resume,
                    "Go on with a NAME.part an earlier run left (a Range request)");
  command->add_flag("-q,--quiet", options->quiet, "No progress display, no line per saved file");
  AddLinkArguments(*command, options->urls, options->batchFiles);
  command->footer(ExitCodesFooter(kGetCommand));
  return {command, [options] {
            if (options->urls.empty() && options->batchFiles.empty()) {
              Say("get needs a URL, or -a FILE; see velmora-host get --help.");
              return kExitUsage;
            }
            return RunGet(*options);
          }};
}

}  // namespace velmora::host
