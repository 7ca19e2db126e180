#include "host/interrupt.h"

#include <signal.h>
#include <time.h>

#include <algorithm>

namespace velmora::host {
namespace {

volatile sig_atomic_t g_signal = 0;

void OnSignal(int signal) { g_signal = signal; }

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the second one is not caught
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int InterruptSignal() { return g_signal; }

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

void SleepUnlessInterrupted(double seconds) {
  constexpr double kStep = 0.05;
  while (seconds > 0 && g_signal == 0) {
    const double step = std::min(seconds, kStep);
    timespec pause{0, static_cast<long>(step * 1e9)};
    nanosleep(&pause, nullptr);
    seconds -= step;
  }
}

}  // namespace velmora::host
