// The network options of a run, as the command line gives them.
#ifndef VELMORA_HOST_NET_HTTP_OPTIONS_H_
#define VELMORA_HOST_NET_HTTP_OPTIONS_H_

#include <cstddef>
#include <string>
#include <vector>

namespace velmora::host {

struct HttpOptions {
  long connectTimeoutSeconds = 15;
  // A page exchange may take this long in all; a file transfer may go this
  // long without a byte.
  long timeoutSeconds = 120;
  size_t maxPageBytes = size_t{64} << 20;
  std::string userAgent =
      "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/124.0.0.0 Safari/537.36";
  int retries = 0;                   // further tries after a failure worth another
  double deadlineSeconds = 0;        // for one link in all; 0: none
  std::string proxy;                 // empty: the environment's, as curl reads it
  std::vector<std::string> headers;  // "Name: value", sent with every request
  std::string cookieFile;  // Netscape cookie file, read at the start and written at the end
};

inline constexpr long kMaxRedirects = 10;

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_HTTP_OPTIONS_H_
