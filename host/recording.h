// Recording of every exchange of a run, and replay of it without network.
//
// A recording is a directory of plain files:
//   manifest.tsv          one record per line, fields separated by TAB:
//     velmora-recording 1                         first line, the format
//     link     URL                                a link the run resolved
//     exchange METHOD URL REQUEST STATUS FINAL RESPONSE ERROR
//                                                 one HTTP exchange of it
//     result   KIND LINK                          what the link came to
//   NNN-request.txt       the encoded POST body of exchange NNN
//   NNN-response.html     the page that exchange received, byte for byte
// "-" stands for an absent field (no request body, no error, no link).
// KIND is link, nolink, notfound, deleted, transfer-error or
// replay-mismatch.
#ifndef VELMORA_HOST_RECORDING_H_
#define VELMORA_HOST_RECORDING_H_

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/transport.h"

namespace velmora::host {

// The recording cannot be written, or cannot be read.
class RecordingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const char* OutcomeName(Outcome outcome);

// Passes every exchange on to the network and writes it down. The manifest
// grows line by line, so an interrupted run leaves a usable recording.
class RecordingTransport final : public Transport {
 public:
  // Refuses a directory that already holds a recording.
  RecordingTransport(Transport& live, std::filesystem::path dir);

  void BeginLink(const std::string& url) override;
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override;
  void EndLink(const LinkResult& result) override;

 private:
  void WriteLine(const std::string& line);
  void WriteFile(const std::string& name, const std::string& content);

  Transport& live_;
  std::filesystem::path dir_;
  std::ofstream manifest_;
  int exchanges_ = 0;
};

struct RecordedExchange {
  std::string method;
  std::string url;
  std::string requestBody;
  HttpResponse response;
};

struct RecordedLink {
  std::string url;
  std::vector<RecordedExchange> exchanges;
  std::optional<LinkResult> result;
};

// Reads a whole recording; throws RecordingError naming the file and line.
std::vector<RecordedLink> LoadRecording(const std::filesystem::path& dir);

// Answers from a recording. A request the recording does not hold next, for
// the current link, is a mismatch; nothing is fetched.
class ReplayTransport final : public Transport {
 public:
  explicit ReplayTransport(const std::vector<RecordedLink>& links) : links_(links) {}

  void BeginLink(const std::string& url) override;
  FetchResult Fetch(const std::string& method, const std::string& url,
                    const std::string& body) override;
  // Exchanges of the current link the plugin did not ask for.
  size_t UnusedExchanges() const;

 private:
  const std::vector<RecordedLink>& links_;
  const RecordedLink* current_ = nullptr;
  size_t next_ = 0;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_RECORDING_H_
