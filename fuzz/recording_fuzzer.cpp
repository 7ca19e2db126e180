// libFuzzer target: loading and replaying a recording a stranger handed
// over. The input is a flags byte, then the manifest, then any number of
// "\n@@ NAME\n" CONTENT parts: the files written into the recording's
// folder. Beside them the harness puts what must never be read through the
// folder: symbolic links out of it (to a canary file beside the folder, to
// its parent, to themselves), a hard link to the canary, a FIFO and a
// subfolder; flags bit 0 makes manifest.tsv a link to a manifest outside,
// bit 1 a hard link to it. Properties: only RecordingError is thrown; a
// linked manifest is refused; every file a loaded recording names is one
// the input wrote, and replay serves exactly its bytes; the canary's bytes
// appear in nothing loaded, served or said.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "host/net/recording.h"

namespace {

namespace fs = std::filesystem;
using velmora::fuzz::Require;

constexpr std::string_view kCanary = "CANARY-3f9c1e-never-served";
constexpr std::string_view kPartMark = "\n@@ ";
constexpr size_t kMaxFileBytes = 1 << 20;

// The scratch folder: base/canary.html and base/outside/manifest.tsv beside
// base/rec, the recording, which holds the hostile objects for good and the
// input's files for one run. Removed when the fuzzer exits normally.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "velmora-fuzz-recording-XXXXXX").string();
    Require(mkdtemp(pattern.data()) != nullptr);
    base_ = pattern;
    rec_ = base_ / "rec";
    Write(base_ / "canary.html", std::string(kCanary));
    Require(mkdir((base_ / "outside").c_str(), 0755) == 0);
    // A manifest that loads if the file it names is there (the input can
    // write it).
    Write(base_ / "outside" / "manifest.tsv",
          "velmora-recording\t2\nlink\thttp://x.example/\nexchange\tGET\thttp://x.example/\t-\t200"
          "\t-\tr.html\t-\t0\t0\nresult\tnolink\t-\n");
    Require(mkdir(rec_.c_str(), 0755) == 0);
    Require(symlink("../canary.html", (rec_ / "up.html").c_str()) == 0);
    Require(symlink((base_ / "canary.html").c_str(), (rec_ / "abs.html").c_str()) == 0);
    Require(symlink("..", (rec_ / "dir").c_str()) == 0);
    Require(symlink("self", (rec_ / "self").c_str()) == 0);
    Require(link((base_ / "canary.html").c_str(), (rec_ / "hard.html").c_str()) == 0);
    Require(mkfifo((rec_ / "fifo").c_str(), 0644) == 0);
    Require(mkdir((rec_ / "sub").c_str(), 0755) == 0);
    Write(rec_ / "sub" / "inner.html", std::string(kCanary));
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  const fs::path& rec() const { return rec_; }

  // Lays out the input's manifest and files; returns the names and bytes of
  // the files it wrote.
  std::map<std::string, std::string> Lay(std::string_view input);

 private:
  static void Write(const fs::path& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Require(fd >= 0 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    close(fd);
  }

  fs::path base_;
  fs::path rec_;
  std::vector<std::string> laid_;  // what the last input put in rec_
};

std::map<std::string, std::string> Scratch::Lay(std::string_view input) {
  for (const std::string& name : laid_) Require(unlink((rec_ / name).c_str()) == 0);
  laid_ = {"manifest.tsv"};
  const unsigned char flags = input.empty() ? 0 : static_cast<unsigned char>(input[0]);
  if (!input.empty()) input.remove_prefix(1);
  size_t end = input.find(kPartMark);
  if (flags & 1) {
    Require(symlink("../outside/manifest.tsv", (rec_ / "manifest.tsv").c_str()) == 0);
  } else if (flags & 2) {
    Require(link((base_ / "outside" / "manifest.tsv").c_str(), (rec_ / "manifest.tsv").c_str()) ==
            0);
  } else {
    Write(rec_ / "manifest.tsv", std::string(input.substr(0, end)));
  }

  std::map<std::string, std::string> written;
  while (end != std::string_view::npos) {
    input.remove_prefix(end + kPartMark.size());
    const size_t nameEnd = input.find('\n');
    const std::string name(input.substr(0, nameEnd));
    input.remove_prefix(nameEnd == std::string_view::npos ? input.size() : nameEnd + 1);
    end = input.find(kPartMark);
    const std::string content(input.substr(0, end));
    // Only bare new names: the harness itself writes nowhere else.
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
      continue;
    }
    const int fd =
        open((rec_ / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    laid_.push_back(name);
    Require(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    close(fd);
    written[name] = content;
  }
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::host;
  static Scratch scratch;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::map<std::string, std::string> written = scratch.Lay(input);
  // The canary is looked for where the input could not have put it.
  const bool canaryInInput = input.find(kCanary) != std::string_view::npos;
  const auto HoldsCanary = [&](std::string_view text) {
    return !canaryInInput && text.find(kCanary) != std::string_view::npos;
  };

  Recording recording;
  try {
    recording = LoadRecording(scratch.rec().string(), kMaxFileBytes);
  } catch (const RecordingError&) {
    return 0;
  }
  // A manifest.tsv that is a link to one outside is never read.
  Require(size == 0 || (data[0] & 3) == 0);
  for (const std::string& note : recording.notes) Require(!HoldsCanary(note));
  for (const RecordedLink& link : recording.links) {
    Require(!HoldsCanary(link.url));
    if (link.result) Require(!HoldsCanary(link.result->link));
    for (const RecordedExchange& exchange : link.exchanges) {
      Require(!HoldsCanary(exchange.url) && !HoldsCanary(exchange.finalUrl) &&
              !HoldsCanary(exchange.error));
      Require(exchange.requestFile.empty() || written.count(exchange.requestFile) == 1);
      Require(written.count(exchange.responseFile) == 1);
    }
  }

  for (size_t ordinal = 0; ordinal < recording.links.size(); ++ordinal) {
    const RecordedLink& link = recording.links[ordinal];
    ReplayTransport replay(recording);
    replay.BeginLink(ordinal, link.url);
    for (const RecordedExchange& exchange : link.exchanges) {
      const std::string body =
          exchange.requestFile.empty() ? std::string() : written.at(exchange.requestFile);
      if (exchange.method == "POST") {
        // Another body: a mismatch, whose message quotes the recorded one.
        const FetchResult other = replay.Fetch("POST", exchange.url, body + "?");
        Require(other.stop == Outcome::kReplayMismatch && !HoldsCanary(other.stopReason));
      }
      const FetchResult fetched = replay.Fetch(exchange.method, exchange.url, body);
      Require(!fetched.stop);
      Require(fetched.response.body == written.at(exchange.responseFile));
      Require(fetched.response.status == exchange.status &&
              fetched.response.finalUrl == exchange.finalUrl);
    }
    Require(replay.UnusedExchanges() == 0);
    const FetchResult beyond = replay.Fetch("GET", link.url, "");
    Require(beyond.stop.has_value() && !HoldsCanary(beyond.stopReason));
  }
  return 0;
}
