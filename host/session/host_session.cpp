#include "host/session/host_session.h"

#include <unistd.h>

#include <atomic>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "host/cli/interrupt.h"
#include "host/io/diagnostics.h"
#include "host/io/safe_files.h"
#include "host/io/terminal_text.h"
#include "host/net/form_encoding.h"
#include "host/net/web_url.h"
#include "host/session/cp1251.h"
#include "host/session/link_trace.h"

namespace velmora::host {
namespace {

// The plugin's callback table is process-wide: one session at a time.
std::atomic<bool> g_sessionOpen{false};

constexpr char kEmpty[] = "";

}  // namespace

// The link under way, for the callbacks: by the link reference the plugin
// hands to getPage (the job's own copy of its URL), and by thread for the
// callbacks that carry no reference.
struct HostSession::Job {
  HostSession* session = nullptr;
  const LinkCall* call = nullptr;
  std::string url;  // url.c_str() is the link reference the plugin got
  LinkTrace trace;
  LinkReport report;
  // The texts handed to the plugin stay alive until it copied them.
  std::string page;
  std::string answer;
  std::string pageUrl;  // final URL of the page, base of the form's action
  std::string lastFinalUrl;
  std::string transferError;
  std::optional<Outcome> stop;  // the host ended the link (replay, a signal)
  std::string stopReason;

  bool Stopped() const { return stop || !transferError.empty(); }
};

namespace {

std::mutex g_jobsLock;
std::unordered_map<const void*, HostSession::Job*> g_jobs;
thread_local HostSession::Job* t_job = nullptr;

// Makes job findable while the plugin works on it, also when a fault from a
// callback unwinds through the plugin.
class JobRegistration {
 public:
  explicit JobRegistration(HostSession::Job& job) : job_(job), outer_(t_job) {
    std::lock_guard<std::mutex> lock(g_jobsLock);
    g_jobs[job.url.c_str()] = &job;
    t_job = &job;
  }
  ~JobRegistration() {
    std::lock_guard<std::mutex> lock(g_jobsLock);
    g_jobs.erase(job_.url.c_str());
    t_job = outer_;
  }
  JobRegistration(const JobRegistration&) = delete;
  JobRegistration& operator=(const JobRegistration&) = delete;

 private:
  HostSession::Job& job_;
  HostSession::Job* outer_;
};

HostSession::Job* JobOf(const void* link) {
  std::lock_guard<std::mutex> lock(g_jobsLock);
  const auto found = g_jobs.find(link);
  return found == g_jobs.end() ? nullptr : found->second;
}

}  // namespace

HostSession::HostSession(PluginLibrary& plugin, Transport& transport, SessionOptions options)
    : plugin_(plugin), transport_(transport), options_(std::move(options)) {
  if (g_sessionOpen.exchange(true)) throw std::logic_error("one host session at a time");
  InitPlugin();
}

HostSession::~HostSession() {
  if (plugin_.Destroy != nullptr) plugin_.Destroy();
  g_sessionOpen = false;
}

void HostSession::InitPlugin() {
  const HostText served =
      plugin_.Init(&GetPageCallback, &PostFormCallback, &LogCallback, 0, &SaveFileCallback,
                   options_.debug ? 1u : 0u, options_.dumpDir.c_str());
  servedHost_ = served != nullptr ? served : "";
}

void HostSession::Enter() {
  std::unique_lock<std::mutex> lock(gateLock_);
  gateChanged_.wait(lock, [this] { return !reloading_; });
  if (plugin_.GetDirectLink == nullptr) {
    throw PluginLoadError("the plugin " + plugin_.path() + " could not be loaded again");
  }
  ++inside_;
}

void HostSession::Leave() {
  {
    std::lock_guard<std::mutex> lock(gateLock_);
    --inside_;
  }
  gateChanged_.notify_all();
}

void HostSession::ReloadPlugin() {
  std::unique_lock<std::mutex> lock(gateLock_);
  if (reloading_) {
    gateChanged_.wait(lock, [this] { return !reloading_; });
    return;
  }
  reloading_ = true;
  gateChanged_.wait(lock, [this] { return inside_ == 0; });
  struct Reopen {
    HostSession& session;
    std::unique_lock<std::mutex>& lock;
    ~Reopen() {
      session.reloading_ = false;
      lock.unlock();
      session.gateChanged_.notify_all();
    }
  } reopen{*this, lock};
  if (plugin_.Destroy == nullptr) return;  // lost at an earlier reload
  plugin_.Destroy();
  plugin_.Reload();
  InitPlugin();
}

LinkReport HostSession::Resolve(const std::string& url, const std::string& dumpName) {
  LinkCall call;
  call.transport = &transport_;
  call.dumpName = dumpName;
  return Resolve(url, call);
}

LinkReport HostSession::Resolve(const std::string& url, const LinkCall& call) {
  Job job;
  job.session = this;
  job.call = &call;
  job.url = url;
  job.trace = LinkTrace(options_.trace, options_.traceCookies, call.tag);
  job.report.url = url;
  Transport& transport = *call.transport;
  transport.BeginLink(call.ordinal, url);
  if (job.trace.on()) {
    transport.SetNote([&job](std::string_view line) { job.trace.Line(line); });
  } else {
    transport.SetNote(nullptr);
  }

  std::string found;
  {
    Enter();
    struct Left {
      HostSession& session;
      ~Left() { session.Leave(); }
    } left{*this};
    JobRegistration registration(job);
    const HostText text = plugin_.GetDirectLink(job.url.c_str());
    found = text != nullptr ? text : "";  // copied before the plugin may go
  }

  LinkResult& result = job.report.result;
  if (job.stop) {
    result = {*job.stop, {}, job.stopReason};
  } else if (!job.transferError.empty()) {
    result = {Outcome::kTransferError, {}, job.transferError};
  } else if (found == "%notfound%") {
    result.outcome = Outcome::kNotFound;
  } else if (found == "%deleted%") {
    result.outcome = Outcome::kDeleted;
  } else if (found.empty()) {
    // An empty link (even one the plugin found) is nothing a download can use.
    result.outcome = Outcome::kNoLink;
  } else {
    // What a download manager would fetch: the link as a URL, which must be
    // an absolute http or https one (no file:, no relative path).
    std::string why;
    if (IsWebUrl(LinkText(found), why)) {
      result = {Outcome::kLink, found, {}};
    } else {
      result = {Outcome::kBadLink, found,
                "\"" + found + "\" is no http or https URL (" + why + ")"};
    }
  }
  transport.SetNote(nullptr);  // the job's trace ends here
  transport.EndLink(result);
  return std::move(job.report);
}

HostText VELMORA_CALL HostSession::GetPageCallback(const void* link) {
  Job* job = JobOf(link);
  // A reference the host never handed out gets no page.
  if (job == nullptr) return kEmpty;
  return job->session->GetPage(*job, static_cast<const char*>(link));
}
HostText VELMORA_CALL HostSession::PostFormCallback(HostText url, HostText params) {
  if (t_job == nullptr) return kEmpty;
  return t_job->session->PostForm(*t_job, url, params);
}
void VELMORA_CALL HostSession::LogCallback(HostText message) {
  if (t_job != nullptr) t_job->session->Log(*t_job, message);
}
void VELMORA_CALL HostSession::SaveFileCallback(HostText path, HostText content) {
  if (t_job != nullptr) t_job->session->SaveFile(*t_job, path, content);
}

HostText HostSession::GetPage(Job& job, const char* url) {
  const HostText page = Exchange(job, "GET", url != nullptr ? url : "", {}, job.page);
  if (!job.Stopped()) job.pageUrl = job.lastFinalUrl;
  return page;
}

HostText HostSession::PostForm(Job& job, const char* action, const char* params) {
  if (job.Stopped()) return kEmpty;
  std::string url;
  std::string why;
  const std::string actionText = action != nullptr ? action : "";
  if (!ResolveWebUrl(job.pageUrl, actionText, url, why)) {
    job.transferError = "the form's action \"" + actionText + "\" on " + job.pageUrl +
                        " gives no URL to POST to (" + why + ")";
    job.trace.Line("no POST: " + job.transferError);
    return kEmpty;
  }
  return Exchange(job, "POST", url, EncodeFormBody(params != nullptr ? params : ""), job.answer);
}

HostText HostSession::Exchange(Job& job, const std::string& method, const std::string& url,
                               const std::string& body, std::string& keep) {
  keep.clear();
  if (job.stop) return kEmpty;
  if (InterruptSignal() != 0) {
    job.stop = Outcome::kInterrupted;
    job.stopReason = std::string("interrupted by ") + SignalName(InterruptSignal());
    return kEmpty;
  }
  job.trace.Line(method + " " + url);
  FetchResult fetched = job.call->transport->Fetch(method, url, body);
  if (fetched.stop) {
    job.stop = fetched.stop;
    job.stopReason = fetched.stopReason;
    job.trace.Line("  -> stopped: " + job.stopReason);
    return kEmpty;
  }
  HttpResponse& response = fetched.response;
  ExchangeLog exchange{method,
                       url,
                       body.size(),
                       response.status,
                       response.finalUrl,
                       response.redirects,
                       response.wireBytes,
                       response.body.size(),
                       response.seconds,
                       response.attempts,
                       response.ok ? std::string() : response.error,
                       std::move(response.hops)};
  if (job.trace.on()) TraceExchange(job, exchange, body);
  job.report.exchanges.push_back(std::move(exchange));
  job.lastFinalUrl = response.finalUrl;
  if (!response.ok) {
    job.transferError = method + " " + url + " failed: " + response.error;
    return kEmpty;
  }
  keep = std::move(response.body);
  if (keep.find('\0') != std::string::npos) {
    job.trace.Line("  the page holds a NUL byte; the plugin sees the text before it");
  }
  return keep.c_str();
}

void HostSession::TraceExchange(const Job& job, const ExchangeLog& exchange,
                                const std::string& body) {
  const LinkTrace& trace = job.trace;
  if (exchange.method == "POST") {
    trace.Line("  body (" + std::to_string(body.size()) + " bytes): " + body);
  }
  trace.Hops(exchange.hops);
  std::string summary = "  -> status " + std::to_string(exchange.status);
  if (exchange.redirects < 0) {
    summary += " from " + exchange.finalUrl + " (redirects not recorded)";
  } else if (exchange.redirects > 0 || exchange.finalUrl != exchange.url) {
    summary += " from " + exchange.finalUrl + " after " + std::to_string(exchange.redirects) +
               (exchange.redirects == 1 ? " redirect" : " redirects");
  }
  summary += ", sent " + std::to_string(exchange.bytesSent) + " bytes, received ";
  if (exchange.wireBytes >= 0 &&
      static_cast<size_t>(exchange.wireBytes) != exchange.bytesReceived) {
    summary += std::to_string(exchange.wireBytes) + " bytes (" +
               std::to_string(exchange.bytesReceived) + " after decoding)";
  } else {
    summary += std::to_string(exchange.bytesReceived) + " bytes";
  }
  if (exchange.attempts > 1) summary += ", " + std::to_string(exchange.attempts) + " tries";
  if (!exchange.error.empty()) summary += ", failed: " + exchange.error;
  trace.Line(summary);
}

void HostSession::Log(const Job& job, const char* message) {
  if (message == nullptr) return;
  const std::string& tag = job.call->tag;
  const std::string prefix = tag.empty() ? "[plugin] " : "[plugin " + tag + "] ";
  // One "[plugin]" line per line of the message, whatever ends its lines.
  const std::string text = DecodeCp1251(message);
  std::string_view rest = text;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.remove_suffix(1);
  while (true) {
    size_t end = rest.find_first_of("\r\n");
    WriteDiagnosticLine(prefix + Shown(rest.substr(0, end)));
    if (end == std::string_view::npos) return;
    if (rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n') ++end;
    rest.remove_prefix(end + 1);
  }
}

void HostSession::SaveFile(Job& job, const char* path, const char* content) {
  if (path == nullptr || *path == '\0') return;
  const std::string asked = path;
  const std::string text = content != nullptr ? content : "";
  const std::string& dumpName = job.call->dumpName;
  LinkReport& report = job.report;
  // The plugin names its dump as the prefix it was given and its file name;
  // the host writes that, under this link's name, and nothing else.
  if (asked != options_.dumpDir + kDumpName || options_.dumpFolder < 0) {
    report.dumpError = "the plugin asked to write " + asked + ", which is not its dump file";
  } else {
    const std::string shown = options_.dumpDir + dumpName;
    try {
      UniqueFd file = ReplaceFile(options_.dumpFolder, dumpName);
      WriteAll(file.get(), text, shown);
      if (close(file.release()) != 0) throw FileError("cannot write " + shown);
      report.dumpPath = shown;
      const std::string& tag = job.call->tag;
      WriteDiagnosticLine((tag.empty() ? "[plugin] " : "[plugin " + tag + "] ") +
                          "answer page saved to " + Shown(shown) + " (" +
                          std::to_string(text.size()) + " bytes)");
      return;
    } catch (const FileError& error) {
      report.dumpError = "cannot write the debug dump " + shown + ": " + error.what();
    }
  }
  Say(report.dumpError);
}

}  // namespace velmora::host
