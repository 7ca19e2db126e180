#include "host/recording.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <sstream>

namespace velmora::host {
namespace {

namespace fs = std::filesystem;

constexpr char kManifest[] = "manifest.tsv";
constexpr char kFormatLine[] = "velmora-recording\t1";

// Fields never hold TAB or line breaks; "-" is reserved for "absent".
std::string Field(const std::string& text) {
  if (text.empty()) return "-";
  std::string field = text;
  std::replace_if(field.begin(), field.end(),
                  [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
  return field;
}

std::string Unfield(const std::string& field) { return field == "-" ? std::string() : field; }

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw RecordingError("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<Outcome> OutcomeFromName(const std::string& name) {
  for (const Outcome outcome : {Outcome::kLink, Outcome::kNoLink, Outcome::kNotFound,
                                Outcome::kDeleted, Outcome::kTransferError,
                                Outcome::kReplayMismatch}) {
    if (name == OutcomeName(outcome)) return outcome;
  }
  return std::nullopt;
}

// A short quote of text around byte at, for messages.
std::string Excerpt(const std::string& text, size_t at) {
  constexpr size_t kContext = 30;
  const size_t from = at > kContext ? at - kContext : 0;
  std::string excerpt = text.substr(from, 2 * kContext);
  std::string quoted = "\"";
  if (from > 0) quoted += "...";
  quoted += excerpt;
  if (from + excerpt.size() < text.size()) quoted += "...";
  return quoted + "\"";
}

std::string Request(const std::string& method, const std::string& url) {
  return (method == "POST" ? "a POST to " : "a GET of ") + url;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kLink: return "link";
    case Outcome::kNoLink: return "nolink";
    case Outcome::kNotFound: return "notfound";
    case Outcome::kDeleted: return "deleted";
    case Outcome::kTransferError: return "transfer-error";
    case Outcome::kReplayMismatch: return "replay-mismatch";
  }
  return "nolink";
}

RecordingTransport::RecordingTransport(Transport& live, fs::path dir)
    : live_(live), dir_(std::move(dir)) {
  std::error_code error;
  fs::create_directories(dir_, error);
  if (error) throw RecordingError("cannot create " + dir_.string() + ": " + error.message());
  if (fs::exists(dir_ / kManifest)) {
    throw RecordingError(dir_.string() + " already holds a recording; choose an empty folder");
  }
  manifest_.open(dir_ / kManifest, std::ios::binary);
  if (!manifest_) throw RecordingError("cannot write " + (dir_ / kManifest).string());
  WriteLine(kFormatLine);
}

void RecordingTransport::BeginLink(const std::string& url) {
  live_.BeginLink(url);
  WriteLine("link\t" + Field(url));
}

FetchResult RecordingTransport::Fetch(const std::string& method, const std::string& url,
                                      const std::string& body) {
  FetchResult result = live_.Fetch(method, url, body);
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%03d", ++exchanges_);
  std::string requestName = "-";
  if (method == "POST") {
    requestName = std::string(prefix) + "-request.txt";
    WriteFile(requestName, body);
  }
  const std::string responseName = std::string(prefix) + "-response.html";
  WriteFile(responseName, result.response.body);
  const HttpResponse& response = result.response;
  WriteLine("exchange\t" + method + "\t" + Field(url) + "\t" + requestName + "\t" +
            std::to_string(response.status) + "\t" + Field(response.finalUrl) + "\t" +
            responseName + "\t" + Field(response.ok ? std::string() : response.error));
  return result;
}

void RecordingTransport::EndLink(const LinkResult& result) {
  live_.EndLink(result);
  WriteLine(std::string("result\t") + OutcomeName(result.outcome) + "\t" + Field(result.link));
}

void RecordingTransport::WriteLine(const std::string& line) {
  manifest_ << line << '\n' << std::flush;
  if (!manifest_) throw RecordingError("cannot write " + (dir_ / kManifest).string());
}

void RecordingTransport::WriteFile(const std::string& name, const std::string& content) {
  std::ofstream out(dir_ / name, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) throw RecordingError("cannot write " + (dir_ / name).string());
}

std::vector<RecordedLink> LoadRecording(const fs::path& dir) {
  const fs::path manifestPath = dir / kManifest;
  std::ifstream manifest(manifestPath, std::ios::binary);
  if (!manifest) throw RecordingError("no recording in " + dir.string() + " (" + manifestPath.string() + " cannot be read)");

  std::vector<RecordedLink> links;
  std::string line;
  int lineNumber = 0;
  auto fail = [&](const std::string& what) {
    throw RecordingError(manifestPath.string() + ", line " + std::to_string(lineNumber) + ": " +
                         what);
  };
  // Recorded file names are bare names inside the recording, nothing else.
  auto file = [&](const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
      fail("bad file name \"" + name + "\"");
    }
    return ReadFile(dir / name);
  };
  while (std::getline(manifest, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNumber == 1) {
      if (line != kFormatLine) fail("not a velmora-host recording (format line missing)");
      continue;
    }
    if (line.empty()) continue;
    const std::vector<std::string> fields = SplitTabs(line);
    const std::string& kind = fields[0];
    if (kind == "link" && fields.size() == 2) {
      links.push_back(RecordedLink{Unfield(fields[1]), {}, std::nullopt});
    } else if (kind == "exchange" && fields.size() == 8) {
      if (links.empty()) fail("exchange before any link");
      RecordedExchange exchange;
      exchange.method = fields[1];
      if (exchange.method != "GET" && exchange.method != "POST") fail("unknown method " + fields[1]);
      exchange.url = Unfield(fields[2]);
      if (fields[3] != "-") exchange.requestBody = file(fields[3]);
      char* end = nullptr;
      exchange.response.status = std::strtol(fields[4].c_str(), &end, 10);
      if (fields[4].empty() || *end != '\0') fail("bad status " + fields[4]);
      exchange.response.finalUrl = Unfield(fields[5]);
      exchange.response.body = file(fields[6]);
      exchange.response.error = Unfield(fields[7]);
      exchange.response.ok = exchange.response.error.empty();
      links.back().exchanges.push_back(std::move(exchange));
    } else if (kind == "result" && fields.size() == 3) {
      if (links.empty()) fail("result before any link");
      const std::optional<Outcome> outcome = OutcomeFromName(fields[1]);
      if (!outcome) fail("unknown result " + fields[1]);
      links.back().result = LinkResult{*outcome, Unfield(fields[2]), {}};
    } else {
      fail("unreadable record \"" + kind + "\"");
    }
  }
  if (lineNumber == 0) fail("the manifest is empty");
  return links;
}

void ReplayTransport::BeginLink(const std::string& url) {
  current_ = nullptr;
  next_ = 0;
  for (const RecordedLink& link : links_) {
    if (link.url == url) {
      current_ = &link;
      return;
    }
  }
}

FetchResult ReplayTransport::Fetch(const std::string& method, const std::string& url,
                                   const std::string& body) {
  FetchResult result;
  result.response.finalUrl = url;
  const std::string asked = "the plugin asked for " + Request(method, url);
  if (current_ == nullptr || next_ >= current_->exchanges.size()) {
    result.mismatch = asked + ", but the recording holds no further request for this link";
    return result;
  }
  const RecordedExchange& recorded = current_->exchanges[next_];
  if (method != recorded.method || url != recorded.url) {
    result.mismatch = asked + ", but the recording holds " + Request(recorded.method, recorded.url);
    return result;
  }
  if (body != recorded.requestBody) {
    const auto [mine, theirs] =
        std::mismatch(body.begin(), body.end(), recorded.requestBody.begin(),
                      recorded.requestBody.end());
    const size_t at = static_cast<size_t>(mine - body.begin());
    (void)theirs;
    result.mismatch = "the POST body to " + url + " differs from the recording from byte " +
                      std::to_string(at + 1) + " on: the plugin sent " + Excerpt(body, at) +
                      ", the recording holds " + Excerpt(recorded.requestBody, at);
    return result;
  }
  ++next_;
  result.response = recorded.response;
  return result;
}

size_t ReplayTransport::UnusedExchanges() const {
  return current_ == nullptr ? 0 : current_->exchanges.size() - next_;
}

}  // namespace velmora::host
