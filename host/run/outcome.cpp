#include "host/run/outcome.h"

#include <iterator>

#include "host/cli/exit_codes.h"

namespace velmora::host {
namespace {

struct OutcomeRow {
  Outcome outcome;
  const char* name;
  const char* words;
  int exitCode;
};

// In the order of the enum.
constexpr OutcomeRow kOutcomes[] = {
    {Outcome::kLink, "link", "link", kExitOk},
    {Outcome::kNoLink, "nolink", "no link", kExitNoLink},
    {Outcome::kNotFound, "notfound", "invalid link", kExitNotFound},
    {Outcome::kDeleted, "deleted", "faulty link", kExitDeleted},
    {Outcome::kTransferError, "transfer-error", "transfer error", kExitTransferError},
    {Outcome::kReplayMismatch, "replay-mismatch", "not in the recording", kExitReplayMismatch},
    {Outcome::kBadLink, "bad-link", "bad link", kExitBadLink},
    {Outcome::kIncomplete, "incomplete", "recording incomplete", kExitIncomplete},
    {Outcome::kDownloadError, "download-error", "download failed", kExitDownloadError},
    {Outcome::kUnavailable, "unavailable", "file unavailable", kExitUnavailable},
    {Outcome::kBadUrl, "bad-url", "bad URL", kExitUsage},
    {Outcome::kBadRecording, "bad-recording", "bad recording", kExitNoInput},
    {Outcome::kInterrupted, "interrupted", "interrupted", kExitSigint},
    {Outcome::kSkipped, "skipped", "skipped (in the archive)", kExitOk},
};

const OutcomeRow& Row(Outcome outcome) {
  static_assert(std::size(kOutcomes) == static_cast<size_t>(Outcome::kSkipped) + 1);
  return kOutcomes[static_cast<size_t>(outcome)];
}

}  // namespace

const char* OutcomeName(Outcome outcome) { return Row(outcome).name; }

const char* OutcomeWords(Outcome outcome) { return Row(outcome).words; }

std::optional<Outcome> OutcomeNamed(std::string_view name) {
  for (const OutcomeRow& row : kOutcomes) {
    if (name == row.name) return row.outcome;
  }
  return std::nullopt;
}

int ExitCodeOf(Outcome outcome, int signal) {
  if (outcome == Outcome::kInterrupted && signal != 0) return 128 + signal;
  return Row(outcome).exitCode;
}

}  // namespace velmora::host
