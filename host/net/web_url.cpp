#include "host/net/web_url.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

namespace velmora::host {
namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

std::string Part(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return {};
  std::string copy(text);
  curl_free(text);
  return copy;
}

// curl reads a URL up to its first NUL: a URL holding one would be checked
// and fetched as its first part while the whole is reported.
bool HasNul(const std::string& url, std::string& why) {
  if (url.find('\0') == std::string::npos) return false;
  why = "the URL holds a NUL byte";
  return true;
}

std::string PartOfUrl(const std::string& url, CURLUPart part) {
  std::string why;
  if (HasNul(url, why)) return {};
  UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
  return Part(handle.get(), part);
}

bool CheckScheme(CURLU* url, std::string& why) {
  const std::string scheme = Part(url, CURLUPART_SCHEME);
  if (scheme != "http" && scheme != "https") {
    why = "only http and https URLs can be resolved";
    return false;
  }
  if (Part(url, CURLUPART_HOST).empty()) {
    why = "the URL names no host";
    return false;
  }
  return true;
}

}  // namespace

bool IsWebUrl(const std::string& url, std::string& why) {
  // Only explicit http: and https: URLs; no guessing of a scheme. A URL is
  // one when it resolves, as it stands, to one curl can read again.
  std::string resolved;
  return ResolveWebUrl(url, "", resolved, why);
}

bool ResolveWebUrl(const std::string& base, const std::string& reference, std::string& resolved,
                   std::string& why) {
  if (HasNul(base, why) || HasNul(reference, why)) return false;
  UrlHandle handle(curl_url());
  if (!handle) throw std::bad_alloc();
  CURLUcode code = curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), 0);
  if (code == CURLUE_OK && !reference.empty()) {
    // With a URL already in the handle, curl resolves a relative one against it.
    code = curl_url_set(handle.get(), CURLUPART_URL, reference.c_str(), 0);
  }
  if (code != CURLUE_OK) {
    why = curl_url_strerror(code);
    return false;
  }
  if (!CheckScheme(handle.get(), why)) return false;
  resolved = Part(handle.get(), CURLUPART_URL);
  // curl tidies a URL in steps: "http:/%36/" gives "http://6/", which it
  // reads again as "http://0.0.0.6/". Reported and fetched is the URL that
  // stays as it is when read again.
  // One it cannot read again ("http:/%7fp" gives a host holding DEL) is no
  // URL to fetch.
  for (int pass = 0; pass < 4; ++pass) {
    code = curl_url_set(handle.get(), CURLUPART_URL, resolved.c_str(), 0);
    if (code != CURLUE_OK) {
      why = curl_url_strerror(code);
      resolved.clear();
      return false;
    }
    std::string again = Part(handle.get(), CURLUPART_URL);
    if (again == resolved) break;
    resolved = std::move(again);
  }
  return true;
}

std::string HostOfUrl(const std::string& url) { return PartOfUrl(url, CURLUPART_HOST); }

bool IsLoopbackUrl(const std::string& url) {
  std::string host = HostOfUrl(url);  // IPv4 in any form comes back dotted
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return reinterpret_cast<const unsigned char*>(&v4)[0] == 127;
  }
  if (host.size() > 2 && host.front() == '[') {
    host = host.substr(1, host.find_first_of("%]") - 1);  // without a zone
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) return false;
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return IN6_IS_ADDR_LOOPBACK(&v6) ||
           (std::memcmp(v6.s6_addr, kMapped, sizeof kMapped) == 0 && v6.s6_addr[12] == 127);
  }
  if (!host.empty() && host.back() == '.') host.pop_back();
  return host == "localhost" || host.ends_with(".localhost");
}

std::string PathOfUrl(const std::string& url) { return PartOfUrl(url, CURLUPART_PATH); }

}  // namespace velmora::host
