#include "host/net/retry.h"

#include <algorithm>

#include "host/cli/interrupt.h"

namespace velmora::host {

Attempt PerformWithRetries(HttpConnection& connection, HttpRequest& request, BodySink& sink,
                           std::optional<HttpConnection::Clock::time_point> deadline,
                           const std::function<Judgement(Attempt&, HttpRequest&)>& judge) {
  using Clock = HttpConnection::Clock;
  constexpr double kFirstPause = 0.5, kLongestPause = 30;
  const Clock::time_point started = Clock::now();
  double pause = kFirstPause;
  int tries = 0;
  auto finish = [&](Attempt& attempt) {
    attempt.attempts = std::max(tries, 1);
    attempt.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return std::move(attempt);
  };
  while (true) {
    ++tries;
    Attempt attempt = connection.Perform(request, sink, deadline);
    if (attempt.interrupted || attempt.deadlinePassed) return finish(attempt);
    switch (judge(attempt, request)) {
      case Judgement::kDone:
      case Judgement::kGiveUp: return finish(attempt);
      case Judgement::kAgainAtOnce: --tries; continue;
      case Judgement::kRetry: break;
    }
    if (tries > connection.options().retries) return finish(attempt);
    if (deadline && std::chrono::duration<double>(*deadline - Clock::now()).count() <= pause) {
      return finish(attempt);  // no time left for another try
    }
    SleepUnlessInterrupted(pause);
    if (InterruptSignal() != 0) {
      attempt.interrupted = true;
      attempt.error = std::string("interrupted by ") + SignalName(InterruptSignal());
      return finish(attempt);
    }
    pause = std::min(pause * 2, kLongestPause);
  }
}

}  // namespace velmora::host
