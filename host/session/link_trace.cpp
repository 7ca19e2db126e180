#include "host/session/link_trace.h"

#include "host/io/diagnostics.h"
#include "host/io/terminal_text.h"
#include "host/net/http_headers.h"

namespace velmora::host {

void LinkTrace::Line(std::string_view text) const {
  if (on_) WriteDiagnosticLine(prefix_ + Shown(showCookies_ ? text : MaskedUrlPasswords(text)));
}

void LinkTrace::Hops(const std::vector<HttpHop>& hops) const {
  if (!on_) return;
  for (size_t i = 0; i < hops.size(); ++i) {
    const HttpHop& hop = hops[i];
    if (i > 0) Line("  redirect " + std::to_string(i) + " to " + hop.url);
    for (const std::string& line : hop.requestHeaders) {
      Line("  > " + (showCookies_ ? line : MaskedHeaderLine(line)));
    }
    for (const std::string& line : hop.responseHeaders) {
      Line("  < " + (showCookies_ ? line : MaskedHeaderLine(line)));
    }
  }
}

}  // namespace velmora::host
