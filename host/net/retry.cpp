#include "host/net/retry.h"

#include <algorithm>
#include <string>

#include "host/cli/interrupt.h"
#include "host/io/quantities.h"
#include "host/net/site_pace.h"
#include "host/net/web_url.h"

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
  SitePace* pace = connection.pace();
  const std::string host = pace != nullptr ? HostOfUrl(request.url) : std::string();
  while (true) {
    ++tries;
    if (pace != nullptr && !pace->WaitTurn(host, request.note, deadline ? &*deadline : nullptr)) {
      Attempt late;
      late.finalUrl = request.url;
      late.error = DeadlineText(connection.options().deadlineSeconds) +
                   " while the site asked to wait";
      late.deadlinePassed = true;
      return finish(late);
    }
    Attempt attempt = connection.Perform(request, sink, deadline);
    if (attempt.interrupted || attempt.deadlinePassed) return finish(attempt);
    switch (judge(attempt, request)) {
      case Judgement::kDone:
      case Judgement::kGiveUp: return finish(attempt);
      case Judgement::kAgainAtOnce: --tries; continue;
      case Judgement::kRetry: break;
    }
    if (tries > connection.options().retries) return finish(attempt);
    // A site that says how long to wait is taken at its word (up to a cap),
    // and its word holds every job of the run.
    const bool told = attempt.status == 429 || attempt.status == 503;
    double wait = pause;
    std::string why = "try " + std::to_string(tries) + " failed: " + attempt.error;
    if (told && attempt.retryAfterSeconds >= 0) {
      wait = std::min(attempt.retryAfterSeconds, kMaxRetryAfterSeconds);
      why = "the server answered " + std::to_string(attempt.status) + " with Retry-After " +
            SecondsText(attempt.retryAfterSeconds) + " s" +
            (attempt.retryAfterSeconds > kMaxRetryAfterSeconds
                 ? " (taken as " + SecondsText(kMaxRetryAfterSeconds) + " s, the most velmora-host waits)"
                 : "");
    }
    if (deadline && std::chrono::duration<double>(*deadline - Clock::now()).count() <= wait) {
      if (request.note) {
        request.note("  no try " + std::to_string(tries + 1) + ": waiting " + SecondsText(wait) +
                     " s would pass the link's deadline");
      }
      return finish(attempt);  // no time left for another try
    }
    if (request.note) {
      request.note("  waiting " + SecondsText(wait) + " s before try " + std::to_string(tries + 1) +
                   ": " + why);
    }
    if (told && pace != nullptr) {
      // The next turn of every job waits for it, this one's too.
      pace->HoldUntil(host, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(wait)),
                      "another job was told to wait (HTTP status " +
                          std::to_string(attempt.status) + ")");
      pace->WaitTurn(host, nullptr, nullptr);
    } else {
      SleepUnlessInterrupted(wait);
    }
    if (InterruptSignal() != 0) {
      attempt.interrupted = true;
      attempt.error = std::string("interrupted by ") + SignalName(InterruptSignal());
      return finish(attempt);
    }
    pause = std::min(pause * 2, kLongestPause);
  }
}

}  // namespace velmora::host
