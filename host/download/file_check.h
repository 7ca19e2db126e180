// check: what the direct link would deliver, asked without downloading it.
// A HEAD first; where a server refuses HEAD, fails it or names no size
// there, a GET of the first byte only (Range: bytes=0-0) whose transfer
// stops as soon as its headers are in. Nothing is read of a body, nothing
// is written.
#ifndef VELMORA_HOST_DOWNLOAD_FILE_CHECK_H_
#define VELMORA_HOST_DOWNLOAD_FILE_CHECK_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/net/http_connection.h"

namespace velmora::host {

// The request the facts come from (Attempt: status, final URL, its tries,
// seconds and tries for both requests, error when no answer came), and the
// facts.
struct FileCheck : Attempt {
  std::string method = "HEAD";    // or "GET", when HEAD was not enough
  std::string headSaid;           // why it was not: "status 405", "no size", "failed: ..."
  std::vector<HttpHop> headHops;  // the HEAD's, when a GET followed
  std::string name;               // the name get would give the file
  int64_t size = -1;              // -1: not said
  std::string contentType;        // as declared; empty: none
  // Why the file would not come although the link answers: an HTTP error,
  // a web page declared in place of the file. Empty otherwise.
  std::string unavailable;
};

// Asks url (an http or https URL, the direct link) with referer, through
// connection (the run's cookies go along), within deadline; note (may be
// empty) says when and why a retry waits.
FileCheck CheckFile(HttpConnection& connection, const std::string& url, const std::string& referer,
                    std::optional<HttpConnection::Clock::time_point> deadline,
                    const std::function<void(std::string_view)>& note);

}  // namespace velmora::host

#endif  // VELMORA_HOST_DOWNLOAD_FILE_CHECK_H_
