// The --trace lines of one link, "[trace #3] ...": each escaped, tagged and
// written whole through the stderr writer; cookie values and credentials
// (passwords in URLs too) masked unless asked for.
#ifndef VELMORA_HOST_SESSION_LINK_TRACE_H_
#define VELMORA_HOST_SESSION_LINK_TRACE_H_

#include <string>
#include <string_view>
#include <vector>

#include "host/net/http_connection.h"

namespace velmora::host {

class LinkTrace {
 public:
  LinkTrace() = default;
  // tag: the link's number when links run at once ("#3"), else empty.
  LinkTrace(bool on, bool showCookies, const std::string& tag)
      : on_(on),
        showCookies_(showCookies),
        prefix_(tag.empty() ? "[trace] " : "[trace " + tag + "] ") {}

  bool on() const { return on_; }
  // One line; site bytes in text are escaped here.
  void Line(std::string_view text) const;
  // Every hop's request and response headers, and each redirect followed.
  void Hops(const std::vector<HttpHop>& hops) const;

 private:
  bool on_ = false;
  bool showCookies_ = false;
  std::string prefix_ = "[trace] ";
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_SESSION_LINK_TRACE_H_
