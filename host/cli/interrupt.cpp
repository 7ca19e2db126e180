#include "host/cli/interrupt.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>

namespace velmora::host {
namespace {

// Read by every job's thread; lock-free, so the handler may set it.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int signal) { g_signal.store(signal, std::memory_order_relaxed); }

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

int InterruptSignal() { return g_signal.load(std::memory_order_relaxed); }

const char* SignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

void SleepUnlessInterrupted(double seconds) {
  constexpr double kStep = 0.05;
  while (seconds > 0 && InterruptSignal() == 0) {
    const double step = std::min(seconds, kStep);
    timespec pause{0, static_cast<long>(step * 1e9)};
    nanosleep(&pause, nullptr);
    seconds -= step;
  }
}

}  // namespace velmora::host
