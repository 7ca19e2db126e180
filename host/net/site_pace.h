// The pace a site asks for. When one job is told to slow down (HTTP 429 or
// 503 with Retry-After), every job of the run waits out the same pause
// before its next request to that host, as one well-behaved client would.
#ifndef VELMORA_HOST_NET_SITE_PACE_H_
#define VELMORA_HOST_NET_SITE_PACE_H_

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace velmora::host {

// The longest pause a Retry-After may ask for; a site asking more is taken
// at this word, so that a batch does not stall for hours.
inline constexpr double kMaxRetryAfterSeconds = 300;

// Thread-safe; shared by every connection of a run.
class SitePace {
 public:
  using Clock = std::chrono::steady_clock;

  // No request to host before until; why says who asked.
  void HoldUntil(const std::string& host, Clock::time_point until, std::string why);

  // Waits (a signal cuts it short) until host may be asked again; note gets
  // a line saying how long and why, when there is a wait. Returns false when
  // the wait would pass deadline, having waited nothing.
  bool WaitTurn(const std::string& host, const std::function<void(std::string_view)>& note,
                const Clock::time_point* deadline);

 private:
  struct Hold {
    Clock::time_point until;
    std::string why;
  };
  std::mutex lock_;
  std::map<std::string, Hold> holds_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_SITE_PACE_H_
