// SIGINT and SIGTERM end a run in order: the link under way stops at its
// next step, what was written is completed, and the program says what it
// kept. A second signal ends the program at once.
#ifndef VELMORA_HOST_CLI_INTERRUPT_H_
#define VELMORA_HOST_CLI_INTERRUPT_H_

namespace velmora::host {

// Installs the handlers (without SA_RESTART, so a blocking read returns) and
// ignores SIGPIPE: a closed output is a write error with its exit code.
void CatchInterrupts();

// The signal that asked the run to stop, or 0.
int InterruptSignal();

// "SIGINT" or "SIGTERM".
const char* SignalName(int signal);

// Sleeps up to seconds, returning early when a signal asks to stop.
void SleepUnlessInterrupted(double seconds);

}  // namespace velmora::host

#endif  // VELMORA_HOST_CLI_INTERRUPT_H_
