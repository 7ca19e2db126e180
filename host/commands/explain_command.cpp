// velmora-host explain: one link resolved through the loaded plugin (live,
// or from a recording), then its road told step by step.
#include <unistd.h>

#include <memory>
#include <vector>

#include "host/cli/exit_codes.h"
#include "host/cli/interrupt.h"
#include "host/cli/options.h"
#include "host/commands/command.h"
#include "host/commands/setup.h"
#include "host/explain/explain.h"
#include "host/explain/explain_output.h"
#include "host/io/diagnostics.h"
#include "host/io/safe_files.h"
#include "host/io/terminal_text.h"
#include "host/net/recording.h"
#include "host/net/web_url.h"
#include "host/session/host_session.h"

namespace velmora::host {
namespace {

struct ExplainOptions {
  ReportOptions report;
  HttpOptions http;
  std::string recording;  // explain from this recording, without network
  std::string url;
};

// Passes every exchange on and keeps a copy of it: the texts the plugin got.
class CapturingTransport final : public Transport {
 public:
  struct Exchange {
    std::string method;
    std::string url;
    std::string body;
    FetchResult result;
  };

  explicit CapturingTransport(Transport& inner) : inner_(inner) {}
  void BeginLink(size_t ordinal, const std::string& url) override {
    inner_.BeginLink(ordinal, url);
  }
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override {
    FetchResult result = inner_.Fetch(method, url, body);
    exchanges.push_back({method, url, body, result});
    return result;
  }
  void EndLink(const LinkResult& result) override { inner_.EndLink(result); }
  void SetNote(std::function<void(std::string_view)> note) override {
    inner_.SetNote(std::move(note));
  }

  const Exchange* Find(const std::string& method) const {
    for (const Exchange& exchange : exchanges) {
      if (exchange.method == method) return &exchange;
    }
    return nullptr;
  }

  std::vector<Exchange> exchanges;

 private:
  Transport& inner_;
};

bool Delivered(const CapturingTransport::Exchange* exchange) {
  return exchange != nullptr && !exchange->result.stop && exchange->result.response.ok;
}

// The plugin's text, as far as the host's outcome tells it; false when a
// transfer failure or a stop replaced it.
bool PluginText(const LinkResult& result, std::string& text) {
  switch (result.outcome) {
    case Outcome::kLink:
    case Outcome::kBadLink: text = result.link; return true;
    case Outcome::kNoLink: text.clear(); return true;
    case Outcome::kNotFound: text = "%notfound%"; return true;
    case Outcome::kDeleted: text = "%deleted%"; return true;
    default: return false;
  }
}

// Turns the plugin's run into its explanation: the road on the texts it got,
// with the host's failures put at the step where they happened.
Explained Explain(const LinkReport& report, const CapturingTransport& capture) {
  Explained e;
  e.report = report;
  const CapturingTransport::Exchange* get = capture.Find("GET");
  const CapturingTransport::Exchange* post = capture.Find("POST");
  const std::string page = Delivered(get) ? get->result.response.body : std::string();
  const std::string answer = Delivered(post) ? post->result.response.body : std::string();
  e.pageBytes = page.size();
  if (get != nullptr) e.pageUrl = get->result.response.finalUrl;
  if (post != nullptr) e.postUrl = post->url;
  e.road = ExplainTexts(page, answer);
  Road& road = e.road;

  const LinkResult& result = report.result;
  const bool failedHere = !PluginText(result, e.pluginResult);
  if (failedHere) {
    // The host stopped the link or a transfer failed: the step it stopped at.
    std::string why = result.reason.empty() ? OutcomeWords(result.outcome) : result.reason;
    if (!Delivered(get)) {
      road.Fail(Step::kPage, Where::kPage, kNowhere, "the page was not received: " + why);
    } else {
      road.Fail(Step::kPost, Where::kPage, road.actionAt, "the answer was not received: " + why);
    }
    road.verdict = Verdict::kNoLink;
    std::vector<Hint> kept;
    for (const Hint& hint : road.hints) {
      if (static_cast<int>(hint.step) <= static_cast<int>(*road.failedStep)) kept.push_back(hint);
    }
    road.hints = std::move(kept);
  } else {
    e.compared = true;
    PluginRoad plugin{e.pluginResult, post != nullptr, post != nullptr ? post->body : ""};
    e.disagreement = Disagreement(road, plugin);
    if (result.outcome == Outcome::kBadLink && e.disagreement.empty()) {
      road.Fail(Step::kLink, Where::kAnswer, road.hrefAt,
                "the link is not one to download: " + result.reason);
    }
  }
  e.exitCode =
      !e.disagreement.empty() ? kExitDisagreement : ExitCodeOf(result.outcome, InterruptSignal());
  return e;
}

// Picks the link to explain from a recording; 0, or an exit code.
int ChooseRecordedLink(Recording& recording, std::string& url) {
  std::vector<RecordedLink>& links = recording.links;
  size_t chosen = links.size();
  if (url.empty()) {
    if (links.size() > 1) {
      // Say would escape the line ends: the list goes out as lines of its own.
      std::string text = "velmora-host: " +
                         Shown("the recording in " + recording.dir + " holds " +
                               std::to_string(links.size()) + " links; name the one to explain:");
      for (const RecordedLink& link : links) text += "\n  " + LinkText(link.url);
      WriteDiagnosticLine(text);
      return kExitUsage;
    }
    chosen = 0;
  } else {
    for (size_t i = 0; i < links.size() && chosen == links.size(); ++i) {
      if (links[i].url == url) chosen = i;
    }
    if (chosen == links.size()) {
      Say("cannot explain: the recording in " + recording.dir + " holds no link " + url + ".");
      return kExitNoInput;
    }
  }
  RecordedLink link = links[chosen];
  links.assign(1, std::move(link));
  url = links.front().url;
  return 0;
}

// Resolves one link through the loaded plugin (live, or from a recording),
// then tells its road; returns the exit code.
int RunExplain(const ExplainOptions& options) {
  std::string url = options.url;
  std::string why;
  if (options.recording.empty()) {
    if (url.empty()) {
      Say("explain needs a URL, or --recording DIR.");
      return kExitUsage;
    }
    if (!IsWebUrl(url, why)) {
      Say("\"" + url + "\" is not an http or https URL (" + why +
          "); give links like http://host/path.");
      return kExitUsage;
    }
  }
  if (const int code = CheckNetworkOptions(options.http)) return code;
  Recording recording;
  if (!options.recording.empty()) {
    if (const int code =
            OpenRecording(options.recording, options.http.maxPageBytes, "explain", recording)) {
      return code;
    }
    if (const int code = ChooseRecordedLink(recording, url)) return code;
  }

  auto plugin = LoadPlugin(options.report.plugin);
  std::unique_ptr<HttpConnection> connection;
  std::unique_ptr<Transport> inner;
  if (options.recording.empty()) {
    connection = std::make_unique<HttpConnection>(options.http, nullptr);
    inner = std::make_unique<LiveTransport>(*connection);
  } else {
    inner = std::make_unique<ReplayTransport>(recording);
  }
  CapturingTransport capture(*inner);
  const SessionSetup setup = PrepareSession(options.report, DebugOptions());
  Explained explained;
  {
    HostSession host(*plugin, capture, setup.session);
    const LinkReport report = host.Resolve(url);
    explained = Explain(report, capture);
  }
  explained.report.exitCode = explained.exitCode;

  const std::string output = options.report.json ? ExplainedJson(explained) + "\n"
                                                 : ExplainedText(explained, StdoutStyle());
  try {
    WriteAll(STDOUT_FILENO, output, "standard output");
  } catch (const FileError& error) {
    Say(std::string(error.what()) + ".");
    return kExitOutput;
  }
  const Road& road = explained.road;
  if (!explained.disagreement.empty()) {
    Say("the explanation disagrees with the loaded plugin " + plugin->path() + ": " +
        explained.disagreement + ".");
  } else if (explained.compared && road.failedStep) {
    Say("no download link for " + url + ": the road ends at step \"" + StepName(*road.failedStep) +
        "\": " + road.failure + ".");
  } else if (explained.exitCode != 0) {
    Say(ReasonSentence(explained.report));
  }
  return explained.exitCode;
}

}  // namespace

Command AddExplainCommand(CLI::App& app) {
  auto options = std::make_shared<ExplainOptions>();
  CLI::App* command = app.add_subcommand(
      "explain", "Resolve one link and say why it resolved the way it did, step by step");
  command->add_option("URL", options->url, "Link to a file page (with --recording: which one)");
  command->add_option("--recording", options->recording,
                      "Explain from this recording (made by resolve --record), without network");
  AddReportOptions(*command, options->report, true);
  AddNetworkOptions(*command, options->http);
  command->footer(ExitCodesFooter(kExplainCommand));
  return {command, [options] { return RunExplain(*options); }};
}

}  // namespace velmora::host
