#include "host/cli/exit_codes.h"

#include <cstdio>
#include <iterator>

namespace velmora::host {
namespace {

constexpr unsigned kLinkCommands =
    kResolveCommand | kGetCommand | kReplayCommand | kExplainCommand | kCheckCommand;
constexpr unsigned kLiveCommands = kResolveCommand | kGetCommand | kCheckCommand;
constexpr unsigned kRecordingCommands = kReplayCommand | kExplainCommand;

}  // namespace

const std::vector<ExitCodeRow>& ExitCodes() {
  static const std::vector<ExitCodeRow> rows = {
      {kExitOk, "ok", "direct link found (get: and its file saved; check: and its file available)",
       kAllCommands},
      {kExitNoLink, "nolink",
       "no link: the page or the answer lacks what the plugin looks for (demo: a sample link "
       "did not give the expected result)",
       kAllCommands},
      {kExitNotFound, "notfound", "the site reports the link invalid (%notfound%)", kLinkCommands},
      {kExitDeleted, "deleted", "the site reports the download link faulty (%deleted%)",
       kLinkCommands},
      {kExitTransferError, "transfer-error", "transfer error", kLinkCommands},
      {kExitReplayMismatch, "replay-mismatch",
       "the plugin asked for a request the recording does not hold", kRecordingCommands},
      {kExitBadLink, "bad-link", "the plugin's link is not an http or https URL", kLinkCommands},
      {kExitIncomplete, "incomplete",
       "the recording of the link was cut short (its run was interrupted)", kRecordingCommands},
      {kExitDownloadError, "download-error",
       "the file could not be downloaded or saved (transfer failed or cut short, HTTP error, "
       "size mismatch, a web page instead of the file, write error)",
       kGetCommand},
      {kExitDisagreement, "disagreement",
       "the explanation's verdict and the loaded plugin's result differ", kExplainCommand},
      {kExitUnavailable, "unavailable",
       "the direct link answers but would not deliver the file (HTTP error, a web page declared "
       "instead of the file)",
       kCheckCommand},
      {kExitUsage, "usage",
       "usage error, including a URL or a batch line that is not an http or https URL",
       kAllCommands},
      {kExitNoInput, "no-input",
       "no readable recording (or a recorded file that is not a regular file in it, or no such "
       "link in it), or a batch file or get's archive that cannot be read",
       kLiveCommands | kRecordingCommands},
      {kExitNoPlugin, "no-plugin", "the plugin cannot be loaded", kAllCommands},
      {kExitInternal, "internal", "internal error", kAllCommands},
      {kExitCannotWrite, "cannot-write",
       "the recording, the debug dump, the output folder, get's archive or the --failed-to "
       "file cannot be written",
       kLiveCommands | kReplayCommand | kDemoCommand},
      {kExitOutput, "output", "standard output cannot be written", kAllCommands},
      {kExitSigint, "sigint", "interrupted by SIGINT", kAllCommands},
      {kExitSigterm, "sigterm", "terminated by SIGTERM", kAllCommands},
  };
  return rows;
}

std::string ExitCodesFooter(unsigned command) {
  std::string footer = "Exit codes (with several links, the highest of theirs):\n";
  for (const ExitCodeRow& row : ExitCodes()) {
    if ((row.commands & command) == 0) continue;
    char code[16];
    std::snprintf(code, sizeof code, "%5d  ", row.code);
    footer += code + std::string(row.words) + "\n";
  }
  return footer;
}

std::string CommandNames(unsigned commands) {
  if (commands == kAllCommands) return "all";
  static const char* const kNames[] = {"resolve", "get", "replay", "explain", "demo", "check"};
  std::string names;
  for (unsigned bit = 0; bit < std::size(kNames); ++bit) {
    if ((commands & (1u << bit)) == 0) continue;
    if (!names.empty()) names += ", ";
    names += kNames[bit];
  }
  return names;
}

}  // namespace velmora::host
