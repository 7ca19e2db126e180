// The exit codes of velmora-host: one table (code, name, words, the
// commands that give it) from which every --help footer is made, and which
// host/README.md's table repeats row by row (a test compares them). The
// link outcomes and explain's verdict take 0 to 10; the codes beyond are
// those of sysexits.h.
#ifndef VELMORA_HOST_CLI_EXIT_CODES_H_
#define VELMORA_HOST_CLI_EXIT_CODES_H_

#include <string>
#include <vector>

namespace velmora::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitNoLink = 1;
inline constexpr int kExitNotFound = 2;
inline constexpr int kExitDeleted = 3;
inline constexpr int kExitTransferError = 4;
inline constexpr int kExitReplayMismatch = 5;
inline constexpr int kExitBadLink = 6;
inline constexpr int kExitIncomplete = 7;
inline constexpr int kExitDownloadError = 8;
inline constexpr int kExitDisagreement = 9;
inline constexpr int kExitUnavailable = 10;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitNoInput = 66;
inline constexpr int kExitNoPlugin = 69;
inline constexpr int kExitInternal = 70;
inline constexpr int kExitCannotWrite = 73;
inline constexpr int kExitOutput = 74;
inline constexpr int kExitSigint = 130;
inline constexpr int kExitSigterm = 143;

// The subcommands, as bits of ExitCodeRow::commands.
enum CommandBit : unsigned {
  kResolveCommand = 1u << 0,
  kGetCommand = 1u << 1,
  kReplayCommand = 1u << 2,
  kExplainCommand = 1u << 3,
  kDemoCommand = 1u << 4,
  kCheckCommand = 1u << 5,
  kAllCommands = (1u << 6) - 1,
};

struct ExitCodeRow {
  int code;
  const char* name;   // a word for scripts and the README, e.g. "usage"
  const char* words;  // what it means
  unsigned commands;  // the CommandBit bits of the subcommands that give it
};

// Every exit code, in ascending order.
const std::vector<ExitCodeRow>& ExitCodes();

// "Exit codes:" and one line per code that command gives (kAllCommands:
// every code); the help footer.
std::string ExitCodesFooter(unsigned command);

// "resolve, get", or "all": the README's Commands column.
std::string CommandNames(unsigned commands);

}  // namespace velmora::host

#endif  // VELMORA_HOST_CLI_EXIT_CODES_H_
