// HTTP for the plugin's two fetch callbacks: a page by GET, a form by POST,
// each kept in memory up to --max-page-bytes.
#ifndef VELMORA_HOST_NET_HTTP_CLIENT_H_
#define VELMORA_HOST_NET_HTTP_CLIENT_H_

#include <optional>
#include <string>
#include <vector>

#include "host/net/http_connection.h"

namespace velmora::host {

// One exchange as the plugin's host sees it: the last try (Attempt), and
// ok false for every failure (no connection, timeout, status 300 or above,
// page over the cap), error then saying why in words.
struct HttpResponse : Attempt {
  bool ok = false;
  std::string body;  // what arrived, decoded, even on failure
};

// The deadline of a link that starts now, under options.deadlineSeconds.
std::optional<HttpConnection::Clock::time_point> LinkDeadline(const HttpOptions& options);

// The pages of one job's links, through its connection.
class HttpClient {
 public:
  explicit HttpClient(HttpConnection& connection) : connection_(connection) {}

  // Starts the deadline of a new link.
  void BeginLink() { deadline_ = LinkDeadline(connection_.options()); }
  // Where the link's waits are said (its --trace); may be empty.
  void SetNote(std::function<void(std::string_view)> note) { note_ = std::move(note); }
  HttpResponse Get(const std::string& url);
  // POSTs body as application/x-www-form-urlencoded.
  HttpResponse Post(const std::string& url, const std::string& body);

 private:
  HttpResponse Fetch(HttpRequest& request);

  HttpConnection& connection_;
  std::optional<HttpConnection::Clock::time_point> deadline_;
  std::function<void(std::string_view)> note_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_HTTP_CLIENT_H_
