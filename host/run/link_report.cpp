#include "host/run/link_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "host/io/quantities.h"
#include "host/io/terminal_text.h"

namespace velmora::host {

namespace {

// "; x.zip.part keeps 512 bytes for --continue", for a download cut short.
std::string KeptPart(const LinkReport& report, bool terminal) {
  if (!report.download || report.download->partPath.empty()) return {};
  const DownloadReport& file = *report.download;
  const std::string kept = "; " + (terminal ? PathText(file.partPath) : file.partPath) + " keeps " +
                           std::to_string(file.size) + " bytes";
  if (!file.partResumable) {
    return kept +
           ", but the server named no version of the file (ETag or Last-Modified), so "
           "--continue cannot take it up";
  }
  return kept + " for --continue";
}

}  // namespace

std::string PathText(const std::string& path) { return IsPrintable(path) ? path : Shown(path); }

std::string ReasonSentence(const LinkReport& report, bool terminal) {
  const auto text = [terminal](const std::string& bytes) {
    return terminal ? Shown(bytes) : bytes;
  };
  const std::string url = text(report.url);
  const LinkResult& result = report.result;
  const std::string reason = text(result.reason);
  switch (result.outcome) {
    case Outcome::kLink: return "the site gave the download link for " + url + ".";
    case Outcome::kNoLink:
      return "no download link found for " + url +
             ": the page or the site's answer lacks what the plugin looks for "
             "(--debug saves the answer page).";
    case Outcome::kNotFound: return "the site reports the link " + url + " as invalid.";
    case Outcome::kDeleted: return "the site reports the download link for " + url + " as faulty.";
    case Outcome::kTransferError:
      if (report.check) {
        return "transfer error while checking the file " + LinkText(result.link) + " of " + url +
               ": " + reason + ".";
      }
      return "transfer error while resolving " + url + ": " + reason + ".";
    case Outcome::kReplayMismatch: return "replay of " + url + " stopped: " + reason + ".";
    case Outcome::kBadLink:
      return "the plugin's link for " + url + " is not one to download: " + reason + ".";
    case Outcome::kIncomplete: return "replay of " + url + " cannot finish: " + reason + ".";
    case Outcome::kBadUrl:
      return (report.line > 0 ? "line " + std::to_string(report.line) + ": \"" : "\"") + url +
             "\" is not an http or https URL (" + reason + ").";
    case Outcome::kBadRecording:
      return "replay of " + url + " stopped: the recording is unreadable: " + reason + ".";
    case Outcome::kDownloadError:
      return "downloading " + LinkText(result.link) + " for " + url + " failed: " + reason +
             KeptPart(report, terminal) + ".";
    case Outcome::kUnavailable:
      return "the file " + LinkText(result.link) + " of " + url + " is not available: " + reason +
             ".";
    case Outcome::kInterrupted:
      if (report.check) return "checking the file of " + url + " was " + reason + ".";
      if (report.download) {
        return "downloading the file of " + url + " was " + reason + KeptPart(report, terminal) +
               ".";
      }
      return "resolving " + url + " was " + reason + ".";
    case Outcome::kSkipped: return "skipped " + url + ": " + reason + ".";
  }
  return {};
}

std::string SavedSentence(const DownloadReport& download) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f", download.seconds);
  std::string text = "saved " + PathText(download.path) + " (" + std::to_string(download.size) +
                     " bytes in " + seconds + " s, " +
                     RateText(download.size - download.resumedFrom, download.seconds);
  if (download.resumedFrom > 0) {
    text += ", resumed after " + std::to_string(download.resumedFrom) + " bytes";
  }
  return text + ").";
}

std::string TsvLine(const LinkReport& report) {
  const Outcome outcome = report.result.outcome;
  if (outcome != Outcome::kLink) return LinkText(report.url) + "\t" + OutcomeWords(outcome);
  return LinkText(report.url) + "\t" +
         (report.download ? PathText(report.download->path) : LinkText(report.result.link));
}

std::string CheckLine(const LinkReport& report) {
  const auto field = [](const std::string& text) { return text.empty() ? "-" : Shown(text); };
  std::string line = LinkText(report.url) + "\t" + OutcomeWords(report.result.outcome);
  if (!report.check) return line + "\t-\tunknown\t-\t-";
  const FileCheck& file = *report.check;
  return line + "\t" + field(file.name) + "\t" +
         (file.size >= 0 ? std::to_string(file.size) : "unknown") + "\t" + field(file.contentType) +
         "\t" + LinkText(file.finalUrl);
}

std::string JsonLine(const LinkReport& report) {
  using nlohmann::json;
  auto textOrNull = [](const std::string& text) { return text.empty() ? json() : json(text); };
  json exchanges = json::array();
  for (const ExchangeLog& exchange : report.exchanges) {
    json item = {
        {"method", exchange.method},
        {"url", LinkText(exchange.url)},
        {"status", exchange.status},
        {"final_url", LinkText(exchange.finalUrl)},
        {"redirects", exchange.redirects < 0 ? json() : json(exchange.redirects)},
        {"bytes_sent", exchange.bytesSent},
        {"bytes_received", exchange.bytesReceived},
        {"wire_bytes", exchange.wireBytes < 0 ? json() : json(exchange.wireBytes)},
        {"seconds", exchange.seconds},
        {"attempts", exchange.attempts},
        {"error", textOrNull(exchange.error)},
    };
    exchanges.push_back(std::move(item));
  }
  const LinkResult& result = report.result;
  // The link found, also when its download failed or was cut short.
  const bool hasLink = !result.link.empty();
  json object = {
      {"url", LinkText(report.url)},
      {"outcome", OutcomeName(result.outcome)},
      {"exit_code", report.exitCode},
      {"link", hasLink ? json(LinkText(result.link)) : json()},
      {"reason", ReasonSentence(report)},
      {"exchanges", std::move(exchanges)},
      {"dump", textOrNull(report.dumpPath)},
      {"dump_error", textOrNull(report.dumpError)},
  };
  if (report.line > 0) object["line"] = report.line;
  if (!report.archiveError.empty()) object["archive_error"] = report.archiveError;
  if (report.download) {
    const DownloadReport& file = *report.download;
    object["download"] = {
        {"path", textOrNull(file.path)},
        {"partial", textOrNull(file.partPath)},
        {"size", file.size},
        {"expected_size", file.expectedSize < 0 ? json() : json(file.expectedSize)},
        {"sha256", textOrNull(file.sha256)},
        {"seconds", file.seconds},
        {"resumed_from", file.resumedFrom},
        {"status", file.status},
        {"final_url", LinkText(file.finalUrl)},
        {"attempts", file.attempts},
        {"error", textOrNull(file.error)},
        {"web_page", textOrNull(file.webPage)},
    };
  }
  if (report.check) {
    const FileCheck& file = *report.check;
    object["check"] = {
        {"method", file.method},
        {"status", file.status},
        {"final_url", LinkText(file.finalUrl)},
        {"name", textOrNull(file.name)},
        {"size", file.size < 0 ? json() : json(file.size)},
        {"type", textOrNull(file.contentType)},
        {"seconds", file.seconds},
        {"attempts", file.attempts},
        {"error", textOrNull(!file.unavailable.empty() ? file.unavailable : file.error)},
    };
  }
  // Site bytes that are no UTF-8 become U+FFFD; everything else is escaped.
  return object.dump(-1, ' ', true, json::error_handler_t::replace);
}

}  // namespace velmora::host
