// What one link can come to, and the one table that names each outcome: its
// JSON and recording name, the words of the RESULT column, its exit code.
#ifndef VELMORA_HOST_RUN_OUTCOME_H_
#define VELMORA_HOST_RUN_OUTCOME_H_

#include <optional>
#include <string>
#include <string_view>

namespace velmora::host {

enum class Outcome {
  kLink,  // the site gave the direct link (get: and the file was saved)
  kNoLink,
  kNotFound,  // the site reports the link invalid
  kDeleted,   // the site reports the download link faulty
  kTransferError,
  kReplayMismatch,  // replay: a request the recording does not hold
  kBadLink,         // the plugin's link is no http or https URL
  kIncomplete,      // replay: the recording of the link was cut short
  kDownloadError,   // get: the file could not be downloaded or saved
  kUnavailable,     // check: the direct link answers, but not with the file
  kBadUrl,          // a batch line that is no http or https URL
  kBadRecording,    // replay: a recorded file cannot be read
  kInterrupted,     // SIGINT or SIGTERM stopped the link
  kSkipped,         // get --archive: its file was saved before; not resolved again
};

// "link", "nolink", "transfer-error", ...: in JSON and in recordings.
const char* OutcomeName(Outcome outcome);
// "link", "no link", "invalid link", ...: the RESULT column.
const char* OutcomeWords(Outcome outcome);
// The outcome called name, as OutcomeName gives it; nothing for another name.
std::optional<Outcome> OutcomeNamed(std::string_view name);
// The exit code of an outcome; an interrupted link takes 128 + signal.
int ExitCodeOf(Outcome outcome, int signal);

struct LinkResult {
  Outcome outcome = Outcome::kNoLink;
  std::string link;    // for kLink and kBadLink, as the plugin gave it
  std::string reason;  // why, for the failures the host finds
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_RUN_OUTCOME_H_
