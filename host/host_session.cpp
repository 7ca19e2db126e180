#include "host/host_session.h"

#include <unistd.h>

#include <cctype>
#include <stdexcept>
#include <string_view>

#include "host/cp1251.h"
#include "host/form_encoding.h"
#include "host/interrupt.h"
#include "host/safe_files.h"
#include "host/terminal_text.h"
#include "host/web_url.h"

namespace velmora::host {
namespace {

HostSession* g_active = nullptr;

constexpr char kEmpty[] = "";

bool StartsWithName(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
  }
  return true;
}

// Cookie values and credentials stay out of a trace someone may paste.
std::string Masked(const std::string& line) {
  constexpr char kMask[] = "***";
  if (StartsWithName(line, "cookie") || StartsWithName(line, "set-cookie")) {
    const bool set = StartsWithName(line, "set-cookie");
    std::string out = line.substr(0, line.find(':') + 1);
    std::string_view rest = std::string_view(line).substr(out.size());
    // Cookie: every pair; Set-Cookie: the first pair, the attributes stay.
    bool first = true;
    while (!rest.empty()) {
      const size_t semicolon = rest.find(';');
      const std::string_view pair = rest.substr(0, semicolon);
      const size_t equals = pair.find('=');
      if ((first || !set) && equals != std::string_view::npos) {
        out.append(pair.substr(0, equals + 1));
        out += kMask;
      } else {
        out.append(pair);
      }
      first = false;
      if (semicolon == std::string_view::npos) break;
      out += ';';
      rest.remove_prefix(semicolon + 1);
    }
    return out;
  }
  if (StartsWithName(line, "authorization") || StartsWithName(line, "proxy-authorization")) {
    std::string out = line.substr(0, line.find(':') + 1);
    const size_t scheme = line.find_first_not_of(' ', out.size());
    const size_t space = scheme == std::string::npos ? scheme : line.find(' ', scheme);
    if (space != std::string::npos) out += " " + line.substr(scheme, space - scheme);
    return out + " " + kMask;
  }
  return line;
}

}  // namespace

HostSession::HostSession(PluginLibrary& plugin, Transport& transport, SessionOptions options,
                         std::ostream& diagnostics)
    : plugin_(plugin), transport_(transport), options_(std::move(options)),
      diagnostics_(diagnostics) {
  if (g_active != nullptr) throw std::logic_error("one host session at a time");
  g_active = this;
  const HostText served =
      plugin_.Init(&GetPageCallback, &PostFormCallback, &LogCallback, 0, &SaveFileCallback,
                   options_.debug ? 1u : 0u, options_.dumpDir.c_str());
  servedHost_ = served != nullptr ? served : "";
}

HostSession::~HostSession() {
  plugin_.Destroy();
  g_active = nullptr;
}

LinkReport HostSession::Resolve(const std::string& url, const std::string& dumpName) {
  report_ = LinkReport();
  report_.url = url;
  dumpName_ = dumpName;
  page_.clear();
  answer_.clear();
  pageUrl_.clear();
  lastFinalUrl_.clear();
  transferError_.clear();
  stop_ = Outcome::kLink;
  stopReason_.clear();
  transport_.BeginLink(url);

  const HostText text = plugin_.GetDirectLink(url.c_str());
  const std::string found = text != nullptr ? text : "";

  LinkResult& result = report_.result;
  if (stop_ != Outcome::kLink) {
    result = {stop_, {}, stopReason_};
  } else if (!transferError_.empty()) {
    result = {Outcome::kTransferError, {}, transferError_};
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
      result = {Outcome::kBadLink, found, "\"" + found + "\" is no http or https URL (" + why + ")"};
    }
  }
  transport_.EndLink(result);
  return std::move(report_);
}

HostText VELMORA_CALL HostSession::GetPageCallback(const void* link) {
  return g_active->GetPage(static_cast<const char*>(link));
}
HostText VELMORA_CALL HostSession::PostFormCallback(HostText url, HostText params) {
  return g_active->PostForm(url, params);
}
void VELMORA_CALL HostSession::LogCallback(HostText message) { g_active->Log(message); }
void VELMORA_CALL HostSession::SaveFileCallback(HostText path, HostText content) {
  g_active->SaveFile(path, content);
}

HostText HostSession::GetPage(const char* url) {
  const HostText page = Exchange("GET", url != nullptr ? url : "", {}, page_);
  if (!Stopped()) pageUrl_ = lastFinalUrl_;
  return page;
}

HostText HostSession::PostForm(const char* action, const char* params) {
  if (Stopped()) return kEmpty;
  std::string url;
  std::string why;
  const std::string actionText = action != nullptr ? action : "";
  if (!ResolveWebUrl(pageUrl_, actionText, url, why)) {
    transferError_ = "the form's action \"" + actionText + "\" on " + pageUrl_ +
                     " gives no URL to POST to (" + why + ")";
    if (options_.trace) Trace("no POST: " + transferError_);
    return kEmpty;
  }
  return Exchange("POST", url, EncodeFormBody(params != nullptr ? params : ""), answer_);
}

HostText HostSession::Exchange(const std::string& method, const std::string& url,
                               const std::string& body, std::string& keep) {
  keep.clear();
  if (stop_ != Outcome::kLink) return kEmpty;
  if (InterruptSignal() != 0) {
    stop_ = Outcome::kInterrupted;
    stopReason_ = std::string("interrupted by ") + SignalName(InterruptSignal());
    return kEmpty;
  }
  if (options_.trace) Trace(method + " " + url);
  FetchResult fetched = transport_.Fetch(method, url, body);
  if (fetched.stop != Outcome::kLink) {
    stop_ = fetched.stop;
    stopReason_ = fetched.stopReason;
    if (options_.trace) Trace("  -> stopped: " + stopReason_);
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
  if (options_.trace) TraceExchange(exchange, body);
  report_.exchanges.push_back(std::move(exchange));
  lastFinalUrl_ = response.finalUrl;
  if (!response.ok) {
    transferError_ = method + " " + url + " failed: " + response.error;
    return kEmpty;
  }
  keep = std::move(response.body);
  if (keep.find('\0') != std::string::npos && options_.trace) {
    Trace("  the page holds a NUL byte; the plugin sees the text before it");
  }
  return keep.c_str();
}

void HostSession::TraceExchange(const ExchangeLog& exchange, const std::string& body) {
  if (exchange.method == "POST") {
    Trace("  body (" + std::to_string(body.size()) + " bytes): " + body);
  }
  for (size_t i = 0; i < exchange.hops.size(); ++i) {
    const HttpHop& hop = exchange.hops[i];
    if (i > 0) Trace("  redirect " + std::to_string(i) + " to " + hop.url);
    for (const std::string& line : hop.requestHeaders) {
      Trace("  > " + (options_.traceCookies ? line : Masked(line)));
    }
    for (const std::string& line : hop.responseHeaders) {
      Trace("  < " + (options_.traceCookies ? line : Masked(line)));
    }
  }
  std::string summary = "  -> status " + std::to_string(exchange.status);
  if (exchange.redirects < 0) {
    summary += " from " + exchange.finalUrl + " (redirects not recorded)";
  } else if (exchange.redirects > 0 || exchange.finalUrl != exchange.url) {
    summary += " from " + exchange.finalUrl + " after " + std::to_string(exchange.redirects) +
               (exchange.redirects == 1 ? " redirect" : " redirects");
  }
  summary += ", sent " + std::to_string(exchange.bytesSent) + " bytes, received ";
  if (exchange.wireBytes >= 0 && static_cast<size_t>(exchange.wireBytes) != exchange.bytesReceived) {
    summary += std::to_string(exchange.wireBytes) + " bytes (" +
               std::to_string(exchange.bytesReceived) + " after decoding)";
  } else {
    summary += std::to_string(exchange.bytesReceived) + " bytes";
  }
  if (exchange.attempts > 1) summary += ", " + std::to_string(exchange.attempts) + " tries";
  if (!exchange.error.empty()) summary += ", failed: " + exchange.error;
  Trace(summary);
}

void HostSession::Trace(const std::string& line) {
  diagnostics_ << "[trace] " << Shown(line) << '\n';
}

void HostSession::Log(const char* message) {
  if (message == nullptr) return;
  // One "[plugin]" line per line of the message, whatever ends its lines.
  const std::string text = DecodeCp1251(message);
  std::string_view rest = text;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.remove_suffix(1);
  while (true) {
    size_t end = rest.find_first_of("\r\n");
    diagnostics_ << "[plugin] " << Shown(rest.substr(0, end)) << '\n';
    if (end == std::string_view::npos) return;
    if (rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n') ++end;
    rest.remove_prefix(end + 1);
  }
}

void HostSession::SaveFile(const char* path, const char* content) {
  if (path == nullptr || *path == '\0') return;
  const std::string asked = path;
  const std::string text = content != nullptr ? content : "";
  // The plugin names its dump as the prefix it was given and its file name;
  // the host writes that, under this link's name, and nothing else.
  if (asked != options_.dumpDir + kDumpName || options_.dumpFolder < 0) {
    report_.dumpError = "the plugin asked to write " + asked + ", which is not its dump file";
  } else {
    const std::string shown = options_.dumpDir + dumpName_;
    try {
      UniqueFd file = ReplaceFile(options_.dumpFolder, dumpName_);
      WriteAll(file.get(), text, shown);
      if (close(file.release()) != 0) throw FileError("cannot write " + shown);
      report_.dumpPath = shown;
      diagnostics_ << "[plugin] answer page saved to " << Shown(shown) << " (" << text.size()
                   << " bytes)\n";
      return;
    } catch (const FileError& error) {
      report_.dumpError = "cannot write the debug dump " + shown + ": " + error.what();
    }
  }
  diagnostics_ << "velmora-host: " << Shown(report_.dumpError) << '\n';
}

}  // namespace velmora::host
