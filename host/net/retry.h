// The one retry loop of every request the host makes: a failure worth
// another try is tried again after a pause (0.5 s, doubling up to 30 s), as
// often as --retries allows and while the link's deadline leaves time.
#ifndef VELMORA_HOST_NET_RETRY_H_
#define VELMORA_HOST_NET_RETRY_H_

#include <functional>
#include <optional>

#include "host/net/http_connection.h"

namespace velmora::host {

// What the caller makes of a try that was neither interrupted nor past the
// deadline.
enum class Judgement {
  kDone,         // what was wanted arrived
  kAgainAtOnce,  // ask again (request changed), not a try of its own
  kRetry,        // failed; another try may overcome it (attempt.error says why)
  kGiveUp,       // failed for good (attempt.error says why)
};

// Performs request through connection until judge is content or gives up;
// judge may change request for the next try and must set attempt.error
// when it judges a failure. Returns the last try, its seconds counting every
// try and pause, its attempts the tries made.
Attempt PerformWithRetries(HttpConnection& connection, HttpRequest& request, BodySink& sink,
                           std::optional<HttpConnection::Clock::time_point> deadline,
                           const std::function<Judgement(Attempt&, HttpRequest&)>& judge);

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_RETRY_H_
