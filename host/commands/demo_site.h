// The bundled sample site: a small stand-in for the file hoster the plugin
// serves, good enough to show a whole resolution offline.
#ifndef VELMORA_HOST_COMMANDS_DEMO_SITE_H_
#define VELMORA_HOST_COMMANDS_DEMO_SITE_H_

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/net/transport.h"

namespace httplib {
class Server;
}

namespace velmora::host {

// The download server the sample site's links stand for; the site serves
// the files itself.
constexpr char kShownDownloadHost[] = "http://dl.dornix.example";

struct SampleLink {
  std::string path;      // on the sample site, e.g. "/f/7Qx2"
  std::string shownUrl;  // the address it stands for on the real site
  Outcome expected;
  std::string expectedLink;  // as shown: the sample site's address as kShownDownloadHost
};

// The three sample links: one with a download link, one the site calls
// invalid, one it calls faulty.
const std::vector<SampleLink>& SampleLinks();

// Serves the sample site on 127.0.0.1, on a port the system picks, from a
// thread of its own until destroyed. Its answer links to the file on the
// site itself (with Content-Disposition, Range honoured), for the session
// the file page opened.
class DemoServer {
 public:
  DemoServer();  // throws std::runtime_error when no port can be bound
  ~DemoServer();
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  std::string baseUrl() const;  // "http://127.0.0.1:PORT"

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_COMMANDS_DEMO_SITE_H_
