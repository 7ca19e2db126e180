// Test support: a web site on 127.0.0.1 for velmora-host to talk to, which
// records what it received, and the pages of a file host the plugin reads.
//
// The test sets pages (answers to a GET, by path) and answers (to a POST)
// before Start(). A GET also sets the cookie "sid=s3ss10n". "{PORT}" in a
// text becomes the site's port. A path with no text gets 404. A text is
// served as HTML (or TYPE's) unless it is one of these:
//   REDIRECT target   a 302 to target (the rest of its line)
//   STATUS code       that status, with a short page
//   SLEEP             the page after 2.5 s
//   BIG               5000 bytes
//   HANG              nothing until the site stops (at most 30 s)
//   GZIP              5000 bytes sent gzip-encoded as 40
//   NOLOCATION        a 302 without a Location
// Prefixes, each on a line of its own before the rest:
//   HEADER Name: value   one more response header; with an ETag or a
//                        Last-Modified the text honours If-Range: a Range
//                        whose If-Range names neither is ignored (200, all)
//   TYPE type            the Content-Type of the rest
//   DELAY ms             waits, then serves the rest
//   NOHEAD               a HEAD gets 405 (a GET, the rest)
//   TURNS a\n--next--\nb the first request of that method and path gets a,
//                        the next b, and so on (the last one stays)
// Files (served as bytes; any other text honours Range):
//   CUT n\ntext          drops the connection after byte n (a request from
//                        n on gets the rest)
//   NORANGE\ntext        ignores Range (200, chunked)
//   DRIP ms\ntext        one byte every ms milliseconds (Content-Length said)
// Routes of the caller's own (Route) are tried before all of these.
#ifndef VELMORA_TESTING_TEST_SITE_H_
#define VELMORA_TESTING_TEST_SITE_H_

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace velmora::testing {

struct Received {
  std::string method;
  std::string target;  // path and query
  std::string body;
  std::string cookie;
  std::string contentType;
  std::string userAgent;
  std::string testHeader;  // X-Test
  std::string range;
  std::string referer;
  std::string ifRange;
  std::chrono::steady_clock::time_point at;  // when it arrived
};

class TestSite {
 public:
  // threads: requests served at once (every job of a batch keeps its
  // connections open).
  explicit TestSite(size_t threads = 64);
  ~TestSite();
  TestSite(const TestSite&) = delete;
  TestSite& operator=(const TestSite&) = delete;

  std::map<std::string, std::string> pages;
  std::map<std::string, std::string> answers;

  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  // method "GET" or "POST", pattern a regular expression of the path
  // (matches in the request); before Start(). Not recorded.
  void Route(const std::string& method, const std::string& pattern, Handler handler);

  void Start();

  // "http://127.0.0.1:PORT" and path.
  std::string Url(const std::string& path) const;
  std::vector<Received> received();
  std::vector<Received> posts();
  // The most requests the site answered at one time.
  int mostAtOnce();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// A loopback port nobody listens on: bound, then closed.
int RefusedPort();

// A page with one POST form to action holding inputs (<INPUT ...> lines).
std::string FormPage(const std::string& action, const std::string& inputs);

// An answer page that gives the link kLink, and that link as velmora-host
// prints it (a URL carries no raw space).
inline constexpr char kLinkAnswer[] =
    "<P>Your download link:</P>\n<A HREF=\"http://dl.files.example/get/42/a b.zip\">go</A>\n";
inline constexpr char kLink[] = "http://dl.files.example/get/42/a%20b.zip";

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_TEST_SITE_H_
