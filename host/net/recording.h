// Recording of every exchange of a run, and replay of it without network.
//
// A recording is a folder of plain files:
//   manifest.tsv          one record per line, fields separated by TAB:
//     velmora-recording 2                         first line, the format
//     link     URL                                a link the run resolved
//     exchange METHOD URL REQUEST STATUS FINAL RESPONSE ERROR REDIRECTS MS
//                                                 one HTTP exchange of it
//     result   KIND LINK                          what the link came to
//   NNN-request.txt       the encoded POST body of exchange NNN
//   NNN-response.html     the page that exchange received, byte for byte
// "-" stands for an absent field (no request body, no error, no link).
// KIND is an OutcomeName; "interrupted" marks a link whose run a signal
// stopped, and a link without a result line was cut short too. LINK is
// percent-encoded (LinkText). Format 1 (what velmora-host wrote before)
// lacks REDIRECTS and MS and is read as well. Format 2 readers ignore
// further fields at the end of a record.
#ifndef VELMORA_HOST_NET_RECORDING_H_
#define VELMORA_HOST_NET_RECORDING_H_

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/io/safe_files.h"
#include "host/net/transport.h"

namespace velmora::host {

// The recording cannot be written, or cannot be read.
class RecordingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The folder and manifest of a recording run, shared by its jobs. The
// manifest grows line by line, each line written whole, so an interrupted
// run leaves a usable recording. Every file is created new inside the
// folder; nothing that exists there is opened, followed or overwritten.
// With several links at once, each link's lines stay together and the links
// come in their order: the earliest unfinished link writes as it goes, a
// later one keeps its lines until the links before it are done.
class RecordingStore {
 public:
  // Refuses a folder that exists and is not empty; creates a missing one.
  explicit RecordingStore(std::string dir);

  // Removes what this recording created, for a run that recorded no link.
  void Discard();

  const std::string& dir() const { return dir_; }
  int linksBegun() const;
  int linksFinished() const;

 private:
  friend class RecordingTransport;
  void Begin(size_t ordinal, const std::string& url);
  void Exchange(size_t ordinal, const std::string& method, const std::string& url,
                const std::string& body, const HttpResponse& response);
  void Finish(size_t ordinal, const LinkResult& result);
  void Emit(size_t ordinal, std::string line);  // lock_ held
  void WriteLine(const std::string& line);
  void WriteFile(const std::string& name, const std::string& content);

  struct Held {
    std::vector<std::string> lines;
    bool finished = false;
  };

  std::string dir_;
  mutable std::mutex lock_;
  UniqueFd folder_;
  UniqueFd manifest_;
  bool createdFolder_ = false;
  std::vector<std::string> created_;
  int linksBegun_ = 0;
  int linksFinished_ = 0;
  int exchanges_ = 0;
  size_t head_ = 0;              // the earliest link not finished
  std::map<size_t, Held> held_;  // the links after it
};

// Passes every exchange of a job's links on to the network and writes it
// down in the store.
class RecordingTransport final : public Transport {
 public:
  RecordingTransport(Transport& live, RecordingStore& store) : live_(live), store_(store) {}

  void BeginLink(size_t ordinal, const std::string& url) override;
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override;
  void EndLink(const LinkResult& result) override;
  void SetNote(std::function<void(std::string_view)> note) override {
    live_.SetNote(std::move(note));
  }

 private:
  Transport& live_;
  RecordingStore& store_;
  size_t ordinal_ = 0;
};

struct RecordedExchange {
  std::string method;
  std::string url;
  std::string requestFile;  // empty for a GET
  long status = 0;
  std::string finalUrl;
  std::string responseFile;
  std::string error;
  long redirects = -1;  // -1: not recorded (format 1)
  long milliseconds = -1;
};

struct RecordedLink {
  std::string url;
  std::vector<RecordedExchange> exchanges;
  std::optional<LinkResult> result;
  // Its run stopped before the link finished: marked so, or no result line.
  bool cutShort() const { return !result || result->outcome == Outcome::kInterrupted; }
};

struct Recording {
  std::string dir;
  UniqueFd folder;
  int version = 0;
  size_t maxFileBytes = 0;
  std::vector<RecordedLink> links;
  std::vector<std::string> notes;  // what was ignored, for the user
};

// Reads a manifest and checks that every file it names is a regular file in
// the folder, of at most maxFileBytes; throws RecordingError naming the file
// and line. A torn last line (no line end) is ignored and noted.
Recording LoadRecording(const std::string& dir, size_t maxFileBytes);

// Answers from a recording: link number ordinal from the recorded link of
// that place. A request the recording does not hold next, for the current
// link, is a mismatch; nothing is fetched. Recorded files are read when they
// are asked for. Several jobs each have their own over one recording.
class ReplayTransport final : public Transport {
 public:
  explicit ReplayTransport(const Recording& recording) : recording_(recording) {}

  void BeginLink(size_t ordinal, const std::string& url) override;
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override;
  // Exchanges of the current link the plugin did not ask for.
  size_t UnusedExchanges() const;

 private:
  std::string Read(const std::string& name) const;

  const Recording& recording_;
  const RecordedLink* current_ = nullptr;
  size_t next_ = 0;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_RECORDING_H_
