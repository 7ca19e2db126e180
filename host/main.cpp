// velmora-host: runs the Velmora plugin the way the download manager does,
// against live sites, recordings of them, or the bundled sample site.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/demo_site.h"
#include "host/host_session.h"
#include "host/recording.h"
#include "host/web_url.h"

namespace {

using namespace velmora::host;
namespace fs = std::filesystem;

// Exit codes beyond the link outcomes (0..5), after sysexits.h.
constexpr int kExitUsage = 64;
constexpr int kExitNoRecording = 66;
constexpr int kExitNoPlugin = 69;
constexpr int kExitInternal = 70;
constexpr int kExitCannotWrite = 73;

struct CommonOptions {
  std::string plugin;
  bool debug = false;
  std::string dumpDir = ".";
  bool trace = false;
  HttpOptions http;
};

void AddCommonOptions(CLI::App& command, CommonOptions& options, bool network) {
  command.add_option("--plugin", options.plugin, "Plugin library to load")
      ->default_str("Velmora.plg next to velmora-host");
  command.add_flag("--debug", options.debug,
                   "Plugin debug mode: its log on stderr, the answer page dumped");
  command.add_option("--dump-dir", options.dumpDir, "Folder for the debug dump")
      ->capture_default_str();
  command.add_flag("--trace", options.trace, "Print every HTTP exchange on stderr");
  if (!network) return;
  command.add_option("--connect-timeout", options.http.connectTimeoutSeconds,
                     "Seconds to wait for a connection")
      ->capture_default_str()
      ->check(CLI::Range(1L, 3600L));
  command.add_option("--timeout", options.http.timeoutSeconds,
                     "Seconds one HTTP exchange may take in all")
      ->capture_default_str()
      ->check(CLI::Range(1L, 86400L));
  command.add_option("--max-page-bytes", options.http.maxPageBytes,
                     "Largest page kept, in bytes")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1}, size_t{1} << 40));
}

// A bar on stderr while several links resolve, only for a person watching.
class Progress {
 public:
  Progress(size_t total, bool enabled) : total_(total), enabled_(enabled) {}
  void Show(size_t done) {
    if (!enabled_) return;
    constexpr size_t kWidth = 30;
    const size_t filled = total_ == 0 ? kWidth : done * kWidth / total_;
    std::cerr << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
              << done << '/' << total_ << std::flush;
    shown_ = true;
  }
  void Clear() {
    if (!shown_) return;
    std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
  }

 private:
  size_t total_;
  bool enabled_;
  bool shown_ = false;
};

const char* OutcomeWords(Outcome outcome) {
  switch (outcome) {
    case Outcome::kLink: return "link";
    case Outcome::kNoLink: return "no link";
    case Outcome::kNotFound: return "invalid link";
    case Outcome::kDeleted: return "faulty link";
    case Outcome::kTransferError: return "transfer error";
    case Outcome::kReplayMismatch: return "not in the recording";
  }
  return "no link";
}

// The sentence for a link that gave no direct link.
std::string FailureSentence(const std::string& url, const LinkResult& result) {
  switch (result.outcome) {
    case Outcome::kLink:
      return {};
    case Outcome::kNoLink:
      return "no download link found for " + url +
             ": the page or the site's answer lacks what the plugin looks for "
             "(--debug saves the answer page).";
    case Outcome::kNotFound:
      return "the site reports the link " + url + " as invalid.";
    case Outcome::kDeleted:
      return "the site reports the download link for " + url + " as faulty.";
    case Outcome::kTransferError:
      return "transfer error while resolving " + url + ": " + result.reason + ".";
    case Outcome::kReplayMismatch:
      return "replay of " + url + " stopped: " + result.reason + ".";
  }
  return {};
}

std::unique_ptr<PluginLibrary> LoadPlugin(const CommonOptions& options) {
  return std::make_unique<PluginLibrary>(options.plugin.empty() ? DefaultPluginPath()
                                                                : options.plugin);
}

// The plugin appends its file name to the prefix as it is, so the folder
// goes over with its separator.
SessionOptions MakeSessionOptions(const CommonOptions& options) {
  SessionOptions session{options.debug, {}, options.trace};
  if (options.debug) {
    std::string dir = options.dumpDir.empty() ? "." : options.dumpDir;
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) throw RecordingError("cannot create the dump folder " + dir + ": " + error.message());
    if (dir.back() != '/') dir += '/';
    session.dumpDir = dir;
  }
  return session;
}

// Resolves urls in order; one link prints alone, several print URL<TAB>RESULT.
int ResolveAll(HostSession& session, const std::vector<std::string>& urls,
               const std::vector<RecordedLink>* recorded, ReplayTransport* replay,
               bool showProgress) {
  const bool single = urls.size() == 1;
  Progress progress(urls.size(), !single && showProgress && isatty(STDERR_FILENO));
  int worst = 0;
  size_t found = 0;
  for (size_t i = 0; i < urls.size(); ++i) {
    progress.Show(i);
    const std::string& url = urls[i];
    const LinkResult result = session.Resolve(url);
    progress.Clear();
    worst = std::max(worst, static_cast<int>(result.outcome));
    if (result.outcome == Outcome::kLink) ++found;

    if (single) {
      if (result.outcome == Outcome::kLink) std::cout << result.link << '\n' << std::flush;
    } else {
      std::cout << url << '\t'
                << (result.outcome == Outcome::kLink ? result.link : OutcomeWords(result.outcome))
                << '\n'
                << std::flush;
    }
    if (result.outcome != Outcome::kLink) {
      std::cerr << "velmora-host: " << FailureSentence(url, result) << '\n';
    }
    if (recorded != nullptr && (*recorded)[i].result &&
        result.outcome != Outcome::kReplayMismatch) {
      const LinkResult& then = *(*recorded)[i].result;
      if (then.outcome != result.outcome || then.link != result.link) {
        std::cerr << "velmora-host: note: when recorded, " << url << " gave "
                  << OutcomeName(then.outcome) << (then.link.empty() ? "" : " " + then.link)
                  << "; the plugin now gives " << OutcomeName(result.outcome) << '\n';
      }
    }
    if (replay != nullptr && result.outcome != Outcome::kReplayMismatch &&
        replay->UnusedExchanges() > 0) {
      std::cerr << "velmora-host: note: the plugin made " << replay->UnusedExchanges()
                << " request(s) fewer for " << url << " than the recording holds\n";
    }
    if (result.outcome == Outcome::kReplayMismatch) {
      if (i + 1 < urls.size()) {
        std::cerr << "velmora-host: replay stopped; " << urls.size() - i - 1
                  << " recorded link(s) not replayed\n";
      }
      break;
    }
  }
  progress.Clear();
  if (!single && worst != 0) {
    std::cerr << "velmora-host: " << found << " of " << urls.size()
              << " links gave a download link; the worst result was "
              << OutcomeWords(static_cast<Outcome>(worst)) << ".\n";
  }
  return worst;
}

// URL arguments, with "-" standing for the lines of stdin.
bool CollectUrls(const std::vector<std::string>& arguments, std::vector<std::string>& urls) {
  bool stdinRead = false;
  for (const std::string& argument : arguments) {
    if (argument != "-") {
      urls.push_back(argument);
      continue;
    }
    if (stdinRead) continue;
    stdinRead = true;
    std::string line;
    while (std::getline(std::cin, line)) {
      const size_t first = line.find_first_not_of(" \t\r");
      if (first == std::string::npos) continue;
      const size_t last = line.find_last_not_of(" \t\r");
      urls.push_back(line.substr(first, last - first + 1));
    }
  }
  for (const std::string& url : urls) {
    std::string why;
    if (!IsWebUrl(url, why)) {
      std::cerr << "velmora-host: \"" << url << "\" is not an http or https URL (" << why
                << "); give links like http://host/path.\n";
      return false;
    }
  }
  if (urls.empty()) {
    std::cerr << "velmora-host: no URL to resolve was given.\n";
    return false;
  }
  return true;
}

int RunResolve(const CommonOptions& options, const std::vector<std::string>& arguments,
               const std::string& recordDir) {
  std::vector<std::string> urls;
  if (!CollectUrls(arguments, urls)) return kExitUsage;
  auto plugin = LoadPlugin(options);
  LiveTransport live(options.http);
  std::unique_ptr<RecordingTransport> recorder;
  if (!recordDir.empty()) recorder = std::make_unique<RecordingTransport>(live, recordDir);
  Transport& transport = recorder ? static_cast<Transport&>(*recorder) : live;
  HostSession session(*plugin, transport, MakeSessionOptions(options), std::cerr);
  const int code = ResolveAll(session, urls, nullptr, nullptr, !options.trace && !options.debug);
  if (recorder) std::cerr << "velmora-host: recorded to " << recordDir << '\n';
  return code;
}

int RunReplay(const CommonOptions& options, const std::string& dir) {
  std::vector<RecordedLink> links;
  try {
    links = LoadRecording(dir);
  } catch (const RecordingError& error) {
    std::cerr << "velmora-host: cannot replay: " << error.what() << ".\n";
    return kExitNoRecording;
  }
  if (links.empty()) {
    std::cerr << "velmora-host: cannot replay: the recording in " << dir << " holds no link.\n";
    return kExitNoRecording;
  }
  std::vector<std::string> urls;
  for (const RecordedLink& link : links) urls.push_back(link.url);
  auto plugin = LoadPlugin(options);
  ReplayTransport replay(links);
  HostSession session(*plugin, replay, MakeSessionOptions(options), std::cerr);
  return ResolveAll(session, urls, &links, &replay, !options.trace && !options.debug);
}

int RunDemo(CommonOptions options) {
  auto plugin = LoadPlugin(options);
  DemoServer server;
  // The sample site is local; waiting long would only hide a fault.
  options.http.connectTimeoutSeconds = std::min(options.http.connectTimeoutSeconds, 5L);
  options.http.timeoutSeconds = std::min(options.http.timeoutSeconds, 30L);
  LiveTransport live(options.http);
  HostSession session(*plugin, live, MakeSessionOptions(options), std::cerr);

  std::cout << "Velmora demo: the plugin " << plugin->path() << " resolves links of "
            << session.servedHost() << ".\n"
            << "The bundled sample site stands in for it at " << server.baseUrl() << ".\n\n";
  size_t asExpected = 0;
  for (const SampleLink& sample : SampleLinks()) {
    const LinkResult result = session.Resolve(server.baseUrl() + sample.path);
    std::cout << sample.shownUrl << "\n  ";
    switch (result.outcome) {
      case Outcome::kLink:
        std::cout << "download link: " << result.link;
        break;
      case Outcome::kNotFound:
        std::cout << "the site reports this link as invalid (%notfound%)";
        break;
      case Outcome::kDeleted:
        std::cout << "the site reports the download link as faulty (%deleted%)";
        break;
      default:
        std::cout << FailureSentence(sample.shownUrl, result);
        break;
    }
    std::cout << "\n";
    if (result.outcome == sample.expected && result.link == sample.expectedLink) ++asExpected;
  }
  std::cout << '\n' << asExpected << " of " << SampleLinks().size()
            << " sample links gave the expected result.\n";
  if (asExpected != SampleLinks().size()) {
    std::cerr << "velmora-host: the demo did not give the expected results; "
                 "run it with --trace --debug to see why.\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velmora-host: runs the Velmora plugin as the download manager does."};
  app.require_subcommand(1);
  app.footer(
      "Exit codes: 0 link found, 1 no link, 2 link invalid (%notfound%), 3 link faulty "
      "(%deleted%), 4 transfer error, 5 replay found a request the recording lacks, 64 usage "
      "error, 66 no readable recording, 69 plugin cannot be loaded, 73 cannot write.\n");

  CommonOptions options;
  std::vector<std::string> arguments;
  std::string recordDir;
  std::string replayDir;

  CLI::App* resolve = app.add_subcommand("resolve", "Resolve links over HTTP (\"-\" reads stdin)");
  AddCommonOptions(*resolve, options, true);
  resolve->add_option("--record", recordDir, "Save every exchange to this folder for replay");
  resolve->add_option("URL", arguments, "Links to file pages")->required();

  CLI::App* replay = app.add_subcommand("replay", "Resolve from a recording, without network");
  AddCommonOptions(*replay, options, false);
  replay->add_option("DIR", replayDir, "Folder made by resolve --record")->required();

  CLI::App* demo = app.add_subcommand("demo", "Resolve the sample links of the bundled site");
  AddCommonOptions(*demo, options, true);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : kExitUsage;
  }

  try {
    if (resolve->parsed()) return RunResolve(options, arguments, recordDir);
    if (replay->parsed()) return RunReplay(options, replayDir);
    return RunDemo(options);
  } catch (const PluginLoadError& error) {
    std::cerr << "velmora-host: " << error.what() << ".\n";
    return kExitNoPlugin;
  } catch (const RecordingError& error) {
    std::cerr << "velmora-host: " << error.what() << ".\n";
    return kExitCannotWrite;
  } catch (const std::exception& error) {
    std::cerr << "velmora-host: internal error: " << error.what() << ".\n";
    return kExitInternal;
  }
}
