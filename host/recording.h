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
#ifndef VELMORA_HOST_RECORDING_H_
#define VELMORA_HOST_RECORDING_H_

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/safe_files.h"
#include "host/transport.h"

namespace velmora::host {

// The recording cannot be written, or cannot be read.
class RecordingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const char* OutcomeName(Outcome outcome);

// Passes every exchange on to the network and writes it down. The manifest
// grows line by line, each line written whole, so an interrupted run leaves
// a usable recording. Every file is created new inside the folder; nothing
// that exists there is opened, followed or overwritten.
class RecordingTransport final : public Transport {
 public:
  // Refuses a folder that exists and is not empty; creates a missing one.
  RecordingTransport(Transport& live, std::string dir);

  void BeginLink(const std::string& url) override;
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override;
  void EndLink(const LinkResult& result) override;

  // Removes what this recording created, for a run that recorded no link.
  void Discard();

  const std::string& dir() const { return dir_; }
  int linksBegun() const { return linksBegun_; }
  int linksFinished() const { return linksFinished_; }
  int exchanges() const { return exchanges_; }

 private:
  void WriteLine(const std::string& line);
  void WriteFile(const std::string& name, const std::string& content);

  Transport& live_;
  std::string dir_;
  UniqueFd folder_;
  UniqueFd manifest_;
  bool createdFolder_ = false;
  std::vector<std::string> created_;
  int linksBegun_ = 0;
  int linksFinished_ = 0;
  int exchanges_ = 0;
};

struct RecordedExchange {
  std::string method;
  std::string url;
  std::string requestFile;   // empty for a GET
  long status = 0;
  std::string finalUrl;
  std::string responseFile;
  std::string error;
  long redirects = -1;       // -1: not recorded (format 1)
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

// Answers from a recording, link after link in recorded order. A request
// the recording does not hold next, for the current link, is a mismatch;
// nothing is fetched. Recorded files are read when they are asked for.
class ReplayTransport final : public Transport {
 public:
  explicit ReplayTransport(const Recording& recording) : recording_(recording) {}

  void BeginLink(const std::string& url) override;
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override;
  // Exchanges of the current link the plugin did not ask for.
  size_t UnusedExchanges() const;

 private:
  std::string Read(const std::string& name) const;

  const Recording& recording_;
  size_t cursor_ = 0;
  const RecordedLink* current_ = nullptr;
  size_t next_ = 0;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_RECORDING_H_
