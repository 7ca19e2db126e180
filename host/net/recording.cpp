#include "host/net/recording.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "host/io/terminal_text.h"

namespace velmora::host {
namespace {

constexpr char kManifest[] = "manifest.tsv";
constexpr char kFormatPrefix[] = "velmora-recording\t";
constexpr int kFormat = 2;
// A manifest holds a few lines per link; anything near this is not one.
constexpr size_t kMaxManifestBytes = size_t{256} << 20;

// Fields never hold TAB or line breaks; "-" is reserved for "absent".
std::string Field(const std::string& text) {
  if (text.empty()) return "-";
  std::string field = text;
  std::replace_if(
      field.begin(), field.end(), [](char c) { return c == '\t' || c == '\r' || c == '\n'; }, ' ');
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

// A result a recording may hold: what resolving gives, not what get, check
// or a batch line adds.
std::optional<Outcome> RecordedOutcome(const std::string& name) {
  const std::optional<Outcome> outcome = OutcomeNamed(name);
  if (outcome == Outcome::kDownloadError || outcome == Outcome::kUnavailable ||
      outcome == Outcome::kBadUrl || outcome == Outcome::kSkipped) {
    return std::nullopt;
  }
  return outcome;
}

// A whole number in [0, max], or nothing.
std::optional<long> Number(const std::string& text, long max) {
  if (text.empty() || text.size() > 12 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > max) return std::nullopt;
  return value;
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

RecordingStore::RecordingStore(std::string dir) : dir_(std::move(dir)) {
  try {
    folder_ = OpenFolder(dir_, true, &createdFolder_);
    if (!FolderIsEmpty(folder_.get())) {
      throw FileError(dir_ + " is not empty; record into a new or empty folder");
    }
    manifest_ = CreateNewFile(folder_.get(), kManifest);
    created_.push_back(kManifest);
    WriteLine(kFormatPrefix + std::to_string(kFormat));
  } catch (const FileError& error) {
    Discard();
    throw RecordingError(error.what());
  }
}

int RecordingStore::linksBegun() const {
  std::lock_guard<std::mutex> lock(lock_);
  return linksBegun_;
}

int RecordingStore::linksFinished() const {
  std::lock_guard<std::mutex> lock(lock_);
  return linksFinished_;
}

void RecordingStore::Discard() {
  std::lock_guard<std::mutex> lock(lock_);
  manifest_ = UniqueFd();
  if (folder_.valid()) {
    for (const std::string& name : created_) unlinkat(folder_.get(), name.c_str(), 0);
  }
  created_.clear();
  folder_ = UniqueFd();
  if (createdFolder_) rmdir(dir_.c_str());
  createdFolder_ = false;
}

void RecordingStore::Begin(size_t ordinal, const std::string& url) {
  std::lock_guard<std::mutex> lock(lock_);
  ++linksBegun_;
  Emit(ordinal, "link\t" + Field(url));
}

void RecordingStore::Exchange(size_t ordinal, const std::string& method, const std::string& url,
                              const std::string& body, const HttpResponse& response) {
  std::lock_guard<std::mutex> lock(lock_);
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%03d", ++exchanges_);
  std::string requestName = "-";
  if (method == "POST") {
    requestName = std::string(prefix) + "-request.txt";
    WriteFile(requestName, body);
  }
  const std::string responseName = std::string(prefix) + "-response.html";
  WriteFile(responseName, response.body);
  Emit(ordinal, "exchange\t" + method + "\t" + Field(url) + "\t" + requestName + "\t" +
                    std::to_string(response.status) + "\t" + Field(response.finalUrl) + "\t" +
                    responseName + "\t" + Field(response.ok ? std::string() : response.error) +
                    "\t" + std::to_string(response.redirects) + "\t" +
                    std::to_string(static_cast<long>(response.seconds * 1000)));
}

void RecordingStore::Finish(size_t ordinal, const LinkResult& result) {
  std::lock_guard<std::mutex> lock(lock_);
  Emit(ordinal,
       std::string("result\t") + OutcomeName(result.outcome) + "\t" + Field(LinkText(result.link)));
  if (result.outcome != Outcome::kInterrupted) ++linksFinished_;
  held_[ordinal].finished = true;
  // The links after it that finished meanwhile follow, whole; the first
  // one still running goes on writing as it goes.
  while (true) {
    const auto head = held_.find(head_);
    if (head == held_.end() || !head->second.finished) break;
    held_.erase(head);
    ++head_;
    const auto next = held_.find(head_);
    if (next == held_.end()) break;
    for (const std::string& line : next->second.lines) WriteLine(line);
    next->second.lines.clear();
  }
}

void RecordingStore::Emit(size_t ordinal, std::string line) {
  if (ordinal == head_) {
    WriteLine(line);
  } else {
    held_[ordinal].lines.push_back(std::move(line));
  }
}

void RecordingStore::WriteLine(const std::string& line) {
  try {
    WriteAll(manifest_.get(), line + "\n", dir_ + "/" + kManifest);
  } catch (const FileError& error) {
    throw RecordingError(error.what());
  }
}

void RecordingStore::WriteFile(const std::string& name, const std::string& content) {
  try {
    UniqueFd file = CreateNewFile(folder_.get(), name);
    created_.push_back(name);
    WriteAll(file.get(), content, dir_ + "/" + name);
    if (close(file.release()) != 0) throw FileError("cannot write " + dir_ + "/" + name);
  } catch (const FileError& error) {
    throw RecordingError("cannot record into " + dir_ + ": " + error.what());
  }
}

void RecordingTransport::BeginLink(size_t ordinal, const std::string& url) {
  live_.BeginLink(ordinal, url);
  ordinal_ = ordinal;
  store_.Begin(ordinal, url);
}

FetchResult RecordingTransport::Fetch(const std::string& method, const std::string& url,
                                      const std::string& body) {
  FetchResult result = live_.Fetch(method, url, body);
  // An exchange a signal cut off is no answer of the site; the link's
  // result line says it was interrupted.
  if (result.stop) return result;
  store_.Exchange(ordinal_, method, url, body, result.response);
  return result;
}

void RecordingTransport::EndLink(const LinkResult& result) {
  live_.EndLink(result);
  store_.Finish(ordinal_, result);
}

Recording LoadRecording(const std::string& dir, size_t maxFileBytes) {
  Recording recording;
  recording.dir = dir;
  recording.maxFileBytes = maxFileBytes;
  const std::string manifestPath = dir + "/" + kManifest;
  std::string text;
  try {
    recording.folder = OpenFolder(dir, false);
    UniqueFd manifest =
        OpenRegularFile(recording.folder.get(), kManifest, kMaxManifestBytes, nullptr);
    text = ReadAll(manifest.get(), kMaxManifestBytes, manifestPath);
  } catch (const FileError& error) {
    throw RecordingError("no recording in " + dir + " (" + error.what() + ")");
  }

  int lineNumber = 0;
  auto fail = [&](const std::string& what) {
    throw RecordingError(manifestPath + ", line " + std::to_string(lineNumber) + ": " + what);
  };
  // Recorded files are bare names of regular files inside the recording.
  auto file = [&](const std::string& name) {
    if (!IsBareName(name)) fail("bad file name \"" + name + "\"");
    try {
      OpenRegularFile(recording.folder.get(), name, maxFileBytes, nullptr);
    } catch (const FileError& error) {
      fail(error.what());
    }
    return name;
  };
  size_t start = 0;
  while (start < text.size()) {
    ++lineNumber;
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      // A run killed while it wrote leaves its last line without an end.
      recording.notes.push_back("line " + std::to_string(lineNumber) + " of " + manifestPath +
                                " is incomplete (the recording run was cut short there) and "
                                "is ignored");
      break;
    }
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lineNumber == 1) {
      if (line.rfind(kFormatPrefix, 0) != 0)
        fail("not a velmora-host recording (format line missing)");
      const std::optional<long> version = Number(line.substr(sizeof kFormatPrefix - 1), 1000);
      if (!version || *version < 1) fail("not a velmora-host recording (bad format line)");
      if (*version > kFormat) {
        fail("format " + std::to_string(*version) +
             " is newer than this velmora-host reads (1 and 2)");
      }
      recording.version = static_cast<int>(*version);
      continue;
    }
    if (line.empty()) continue;
    const bool v1 = recording.version == 1;
    const std::vector<std::string> fields = SplitTabs(line);
    const std::string& kind = fields[0];
    auto fits = [&](size_t count) { return v1 ? fields.size() == count : fields.size() >= count; };
    if (kind == "link" && fits(2)) {
      recording.links.push_back(RecordedLink{Unfield(fields[1]), {}, std::nullopt});
    } else if (kind == "exchange" && fits(v1 ? 8 : 10)) {
      if (recording.links.empty()) fail("exchange before any link");
      if (recording.links.back().result) fail("exchange after the link's result");
      RecordedExchange exchange;
      exchange.method = fields[1];
      if (exchange.method != "GET" && exchange.method != "POST")
        fail("unknown method " + fields[1]);
      exchange.url = Unfield(fields[2]);
      if (fields[3] != "-") exchange.requestFile = file(fields[3]);
      const std::optional<long> status = Number(fields[4], 999);
      if (!status) fail("bad status " + fields[4]);
      exchange.status = *status;
      exchange.finalUrl = Unfield(fields[5]);
      exchange.responseFile = file(fields[6]);
      exchange.error = Unfield(fields[7]);
      if (!v1) {
        const std::optional<long> redirects = Number(fields[8], 1000);
        const std::optional<long> ms = Number(fields[9], 1000L * 1000 * 1000);
        if (!redirects) fail("bad redirect count " + fields[8]);
        if (!ms) fail("bad time " + fields[9]);
        exchange.redirects = *redirects;
        exchange.milliseconds = *ms;
      }
      recording.links.back().exchanges.push_back(std::move(exchange));
    } else if (kind == "result" && fits(3)) {
      if (recording.links.empty()) fail("result before any link");
      if (recording.links.back().result) fail("a second result for the link");
      const std::optional<Outcome> outcome = RecordedOutcome(fields[1]);
      if (!outcome) fail("unknown result " + fields[1]);
      recording.links.back().result = LinkResult{*outcome, Unfield(fields[2]), {}};
    } else {
      fail("unreadable record \"" + kind + "\"");
    }
  }
  if (lineNumber == 0) fail("the manifest is empty");
  if (recording.version == 0) fail("not a velmora-host recording (format line missing)");
  return recording;
}

void ReplayTransport::BeginLink(size_t ordinal, const std::string& url) {
  current_ = nullptr;
  next_ = 0;
  if (ordinal < recording_.links.size() && recording_.links[ordinal].url == url) {
    current_ = &recording_.links[ordinal];
  }
}

std::string ReplayTransport::Read(const std::string& name) const {
  UniqueFd file = OpenRegularFile(recording_.folder.get(), name, recording_.maxFileBytes, nullptr);
  return ReadAll(file.get(), recording_.maxFileBytes, recording_.dir + "/" + name);
}

FetchResult ReplayTransport::Fetch(const std::string& method, const std::string& url,
                                   const std::string& body) {
  FetchResult result;
  result.response.finalUrl = url;
  const std::string asked = "the plugin asked for " + Request(method, url);
  auto stop = [&](Outcome outcome, std::string why) {
    result.stop = outcome;
    result.stopReason = std::move(why);
    return result;
  };
  if (current_ == nullptr) {
    return stop(Outcome::kReplayMismatch, asked + ", but the recording holds no such link here");
  }
  if (next_ >= current_->exchanges.size()) {
    if (current_->cutShort()) {
      return stop(Outcome::kIncomplete,
                  asked + ", but the recording of this link ends there: its run was interrupted");
    }
    return stop(Outcome::kReplayMismatch,
                asked + ", but the recording holds no further request for this link");
  }
  const RecordedExchange& recorded = current_->exchanges[next_];
  if (method != recorded.method || url != recorded.url) {
    return stop(Outcome::kReplayMismatch,
                asked + ", but the recording holds " + Request(recorded.method, recorded.url));
  }
  std::string recordedBody;
  try {
    if (!recorded.requestFile.empty()) recordedBody = Read(recorded.requestFile);
    result.response.body = Read(recorded.responseFile);
  } catch (const FileError& error) {
    return stop(Outcome::kBadRecording, error.what());
  }
  if (body != recordedBody) {
    const auto [mine, theirs] =
        std::mismatch(body.begin(), body.end(), recordedBody.begin(), recordedBody.end());
    const size_t at = static_cast<size_t>(mine - body.begin());
    (void)theirs;
    return stop(Outcome::kReplayMismatch,
                "the POST body to " + url + " differs from the recording from byte " +
                    std::to_string(at + 1) + " on: the plugin sent " + Excerpt(body, at) +
                    ", the recording holds " + Excerpt(recordedBody, at));
  }
  ++next_;
  HttpResponse& response = result.response;
  response.status = recorded.status;
  response.finalUrl = recorded.finalUrl;
  response.error = recorded.error;
  response.ok = recorded.error.empty();
  response.redirects = recorded.redirects;
  response.seconds = recorded.milliseconds < 0 ? 0 : recorded.milliseconds / 1000.0;
  return result;
}

size_t ReplayTransport::UnusedExchanges() const {
  return current_ == nullptr ? 0 : current_->exchanges.size() - next_;
}

}  // namespace velmora::host
