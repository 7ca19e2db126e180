#include "host/host_session.h"

#include <fstream>
#include <stdexcept>

#include "host/cp1251.h"
#include "host/form_encoding.h"
#include "host/web_url.h"

namespace velmora::host {
namespace {

HostSession* g_active = nullptr;

constexpr char kEmpty[] = "";

// Page text may carry anything; a terminal gets no control bytes from it.
std::string Printable(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\r') {
      out += '\n';
    } else if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
      out += '?';
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

void PrintLines(std::ostream& out, const std::string& prefix, const std::string& text) {
  size_t start = 0;
  std::string body = text;
  while (!body.empty() && body.back() == '\n') body.pop_back();
  do {
    const size_t end = body.find('\n', start);
    out << prefix << body.substr(start, end == std::string::npos ? end : end - start) << '\n';
    start = end == std::string::npos ? body.size() + 1 : end + 1;
  } while (start <= body.size());
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

LinkResult HostSession::Resolve(const std::string& url) {
  page_.clear();
  answer_.clear();
  pageUrl_.clear();
  lastFinalUrl_.clear();
  transferError_.clear();
  mismatch_.clear();
  transport_.BeginLink(url);

  const HostText text = plugin_.GetDirectLink(url.c_str());
  const std::string found = text != nullptr ? text : "";

  LinkResult result;
  if (!mismatch_.empty()) {
    result = {Outcome::kReplayMismatch, {}, mismatch_};
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
    result = {Outcome::kLink, found, {}};
  }
  transport_.EndLink(result);
  return result;
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
  if (transferError_.empty() && mismatch_.empty()) pageUrl_ = lastFinalUrl_;
  return page;
}

HostText HostSession::PostForm(const char* action, const char* params) {
  if (!mismatch_.empty() || !transferError_.empty()) return kEmpty;
  std::string url;
  std::string why;
  const std::string actionText = action != nullptr ? action : "";
  if (!ResolveWebUrl(pageUrl_, actionText, url, why)) {
    transferError_ = "the form's action \"" + Printable(actionText) + "\" on " + pageUrl_ +
                     " gives no URL to POST to (" + why + ")";
    if (options_.trace) diagnostics_ << "[trace] no POST: " << transferError_ << '\n';
    return kEmpty;
  }
  return Exchange("POST", url, EncodeFormBody(params != nullptr ? params : ""), answer_);
}

HostText HostSession::Exchange(const std::string& method, const std::string& url,
                               const std::string& body, std::string& keep) {
  keep.clear();
  if (!mismatch_.empty()) return kEmpty;
  if (options_.trace) {
    diagnostics_ << "[trace] " << method << ' ' << url << '\n';
    if (method == "POST") {
      diagnostics_ << "[trace]   body (" << body.size() << " bytes): " << Printable(body) << '\n';
    }
  }
  FetchResult fetched = transport_.Fetch(method, url, body);
  if (!fetched.mismatch.empty()) {
    mismatch_ = fetched.mismatch;
    if (options_.trace) diagnostics_ << "[trace]   -> not in the recording\n";
    return kEmpty;
  }
  HttpResponse& response = fetched.response;
  lastFinalUrl_ = response.finalUrl;
  if (options_.trace) {
    diagnostics_ << "[trace]   -> status " << response.status;
    if (response.finalUrl != url) {
      diagnostics_ << " from " << response.finalUrl << " after " << response.redirects
                   << (response.redirects == 1 ? " redirect" : " redirects");
    }
    diagnostics_ << ", sent " << body.size() << " bytes, received " << response.body.size()
                 << " bytes";
    if (!response.ok) diagnostics_ << ", failed";
    diagnostics_ << '\n';
  }
  if (!response.ok) {
    transferError_ = method + " " + url + " failed: " + response.error;
    return kEmpty;
  }
  keep = std::move(response.body);
  if (keep.find('\0') != std::string::npos && options_.trace) {
    diagnostics_ << "[trace]   the page holds a NUL byte; the plugin sees the text before it\n";
  }
  return keep.c_str();
}

void HostSession::Log(const char* message) {
  if (message == nullptr) return;
  PrintLines(diagnostics_, "[plugin] ", Printable(DecodeCp1251(message)));
}

void HostSession::SaveFile(const char* path, const char* content) {
  if (path == nullptr || *path == '\0') return;
  const std::string text = content != nullptr ? content : "";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) {
    diagnostics_ << "velmora-host: cannot write the debug dump " << path << '\n';
    return;
  }
  diagnostics_ << "[plugin] answer page saved to " << path << " (" << text.size() << " bytes)\n";
}

}  // namespace velmora::host
