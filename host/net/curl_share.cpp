#include "host/net/curl_share.h"

#include <curl/curl.h>

#include <new>

namespace velmora::host {
namespace {

// curl's callback types, with the handle and enums it names.
void LockData(CURL* curl, curl_lock_data data, curl_lock_access access, void* user) {
  (void)curl;
  (void)access;  // shared or single: a plain mutex serves both
  auto* locks = static_cast<std::mutex*>(user);
  if (data >= 0 && data < 8) locks[data].lock();
}

void UnlockData(CURL* curl, curl_lock_data data, void* user) {
  (void)curl;
  auto* locks = static_cast<std::mutex*>(user);
  if (data >= 0 && data < 8) locks[data].unlock();
}

static_assert(CURL_LOCK_DATA_LAST <= 8, "one mutex per kind of shared data");

}  // namespace

CurlShare::CurlShare() {
  CURLSH* share = curl_share_init();
  if (share == nullptr) throw std::bad_alloc();
  share_ = share;
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &LockData);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &UnlockData);
  curl_share_setopt(share, CURLSHOPT_USERDATA, static_cast<void*>(locks_));
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

CurlShare::~CurlShare() { curl_share_cleanup(static_cast<CURLSH*>(share_)); }

}  // namespace velmora::host
