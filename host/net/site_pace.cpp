#include "host/net/site_pace.h"

#include "host/cli/interrupt.h"
#include "host/io/quantities.h"

namespace velmora::host {

void SitePace::HoldUntil(const std::string& host, Clock::time_point until, std::string why) {
  std::lock_guard<std::mutex> guard(lock_);
  Hold& hold = holds_[host];
  if (until > hold.until) hold = {until, std::move(why)};
}

bool SitePace::WaitTurn(const std::string& host, const std::function<void(std::string_view)>& note,
                        const Clock::time_point* deadline) {
  Hold hold;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = holds_.find(host);
    if (found == holds_.end()) return true;
    hold = found->second;
  }
  const Clock::time_point now = Clock::now();
  if (hold.until <= now) return true;
  if (deadline != nullptr && hold.until >= *deadline) return false;
  const double seconds = std::chrono::duration<double>(hold.until - now).count();
  if (note) note("  waiting " + SecondsText(seconds) + " s before asking " + host + ": " + hold.why);
  SleepUnlessInterrupted(seconds);
  return true;
}

}  // namespace velmora::host
