// What the curl handles of one run share when several links run at once:
// one cookie store (so every job's POST and download carry the cookies its
// page set, as one browser would), the DNS cache and TLS sessions, and the
// pace the site asked for.
#ifndef VELMORA_HOST_NET_CURL_SHARE_H_
#define VELMORA_HOST_NET_CURL_SHARE_H_

#include <mutex>

#include "host/net/site_pace.h"

namespace velmora::host {

// Must outlive every handle that uses it. Thread-safe: libcurl takes the
// lock of each kind of data through the callbacks given here.
class CurlShare {
 public:
  CurlShare();  // throws std::bad_alloc
  ~CurlShare();
  CurlShare(const CurlShare&) = delete;
  CurlShare& operator=(const CurlShare&) = delete;

  void* handle() const { return share_; }  // CURLSH*, kept out of this header
  SitePace& pace() { return pace_; }

 private:
  void* share_ = nullptr;
  // One lock per curl_lock_data value (cookies, DNS, TLS sessions, the share).
  std::mutex locks_[8];
  SitePace pace_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_CURL_SHARE_H_
