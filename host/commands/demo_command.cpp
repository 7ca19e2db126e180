// velmora-host demo: the bundled sample site on 127.0.0.1, its three links
// resolved, then its file fetched as get does.
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>

#include "host/cli/exit_codes.h"
#include "host/cli/interrupt.h"
#include "host/commands/command.h"
#include "host/commands/demo_site.h"
#include "host/commands/setup.h"
#include "host/io/diagnostics.h"
#include "host/io/progress_display.h"
#include "host/io/terminal_text.h"
#include "host/net/curl_share.h"
#include "host/run/link_report.h"
#include "host/run/link_runner.h"

namespace velmora::host {
namespace {

struct DemoOptions {
  ReportOptions report;
  DebugOptions debug;
  HttpOptions http;
  std::string dir;
  bool overwrite = false;
};

// The sample site's link as it stands for the real one.
std::string ShownSampleLink(const std::string& link, const std::string& base) {
  if (link.rfind(base + "/", 0) != 0) return LinkText(link);
  return kShownDownloadHost + LinkText(link.substr(base.size()));
}

std::string ResultText(const LinkReport& report, const std::string& shownLink) {
  switch (report.result.outcome) {
    case Outcome::kLink: return "download link: " + shownLink;
    case Outcome::kNotFound: return "the site reports this link as invalid (%notfound%)";
    case Outcome::kDeleted: return "the site reports the download link as faulty (%deleted%)";
    default: return ReasonSentence(report, true);
  }
}

int RunDemo(DemoOptions options) {
  if (const int code = CheckNetworkOptions(options.http)) return code;
  const SessionSetup setup = PrepareSession(options.report, options.debug);
  const OutputSetup output = PrepareOutput(options.dir, options.overwrite, false, false);
  auto plugin = LoadPlugin(options.report.plugin);
  DemoServer server;
  // The sample site is local; waiting long would only hide a fault.
  options.http.connectTimeoutSeconds = std::min(options.http.connectTimeoutSeconds, 5L);
  options.http.timeoutSeconds = std::min(options.http.timeoutSeconds, 30L);
  CurlShare share;
  std::vector<JobTools> tools = LiveTools(options.http, 1, 1, share, nullptr, &output.download);
  HostSession session(*plugin, *tools[0].transport, setup.session);

  std::cout << "Velmora demo: the plugin " << Shown(plugin->path()) << " resolves links of "
            << Shown(session.servedHost()) << ".\n"
            << "The bundled sample site stands in for it at " << server.baseUrl() << ".\n\n";
  size_t asExpected = 0;
  const SampleLink* toFetch = nullptr;
  for (const SampleLink& sample : SampleLinks()) {
    if (InterruptSignal() != 0) break;
    LinkReport report = session.Resolve(server.baseUrl() + sample.path);
    report.url = sample.shownUrl;
    const std::string shownLink = ShownSampleLink(report.result.link, server.baseUrl());
    std::cout << sample.shownUrl << "\n  " << ResultText(report, shownLink) << "\n";
    if (report.result.outcome == sample.expected && shownLink == sample.expectedLink) {
      ++asExpected;
      if (report.result.outcome == Outcome::kLink && toFetch == nullptr) toFetch = &sample;
    }
  }
  std::cout << '\n'
            << asExpected << " of " << SampleLinks().size()
            << " sample links gave the expected result.\n"
            << std::flush;

  // Then the whole job, as get does it: resolve, download, check.
  bool saved = false;
  if (toFetch != nullptr && InterruptSignal() == 0) {
    std::cout << "\nget " << toFetch->shownUrl << ":\n" << std::flush;
    RunSettings settings = SettingsFor(setup, false);
    settings.download = true;
    ProgressDisplay progress(settings.showProgress && isatty(STDERR_FILENO) != 0, 1, "files");
    LinkCall call;
    call.transport = tools[0].transport;
    const auto started = HttpConnection::Clock::now();
    LinkReport report = session.Resolve(server.baseUrl() + toFetch->path, call);
    if (report.result.outcome == Outcome::kLink) {
      DownloadLink(settings, tools[0], report, started, progress, {});
    }
    progress.Clear();
    report.url = toFetch->shownUrl;
    if (report.result.outcome == Outcome::kLink) {
      const DownloadReport& file = *report.download;
      std::cout << "  saved to: " << PathText(file.path) << "\n  size:     " << file.size
                << " bytes\n  SHA-256:  " << file.sha256 << "\n";
      saved = true;
    } else {
      std::cout << "  " << ReasonSentence(report, true) << "\n";
    }
    std::cout << std::flush;
  }
  if (!std::cout) {
    Say("cannot write to standard output.");
    return kExitOutput;
  }
  if (InterruptSignal() != 0) {
    Say(std::string("interrupted by ") + SignalName(InterruptSignal()) + ".");
    return 128 + InterruptSignal();
  }
  if (asExpected != SampleLinks().size() || !saved) {
    Say("the demo did not give the expected results; run it with --trace --debug to see why.");
    return kExitNoLink;
  }
  return kExitOk;
}

}  // namespace

Command AddDemoCommand(CLI::App& app) {
  auto options = std::make_shared<DemoOptions>();
  CLI::App* command =
      app.add_subcommand("demo", "Resolve the sample links of the bundled site, then get its file");
  AddReportOptions(*command, options->report, false);
  AddDebugOptions(*command, options->debug);
  AddNetworkOptions(*command, options->http);
  command->add_option("-o,--output-dir", options->dir, "Folder to save the sample file in")
      ->default_str("the current one");
  command->add_flag("--overwrite", options->overwrite, "Replace a sample file saved before");
  command->footer(ExitCodesFooter(kDemoCommand));
  return {command, [options] { return RunDemo(*options); }};
}

}  // namespace velmora::host
