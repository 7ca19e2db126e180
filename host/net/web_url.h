// URL checks and resolution through curl's URL API.
#ifndef VELMORA_HOST_NET_WEB_URL_H_
#define VELMORA_HOST_NET_WEB_URL_H_

#include <string>

namespace velmora::host {

// True when url is an absolute http or https URL curl can parse, every byte
// of it (no NUL); otherwise why says in a few words what is wrong with it.
bool IsWebUrl(const std::string& url, std::string& why);

// Resolves reference (absolute, or relative like a form action) against
// base. An empty reference gives base. Returns false, with why, when the
// result is not an http or https URL or either text holds a NUL.
bool ResolveWebUrl(const std::string& base, const std::string& reference, std::string& resolved,
                   std::string& why);

// The host name of url, lower-cased by curl; empty if there is none.
std::string HostOfUrl(const std::string& url);

// True when url names this machine's loopback in any form curl takes:
// 127.0.0.0/8 (127.1, 2130706433 ...), ::1, ::ffff:127.x.y.z, localhost
// and the names under it, in any letter case, with or without a final dot.
bool IsLoopbackUrl(const std::string& url);

// The path of url as it is written (still percent-encoded); empty if url is
// no URL.
std::string PathOfUrl(const std::string& url);

}  // namespace velmora::host

#endif  // VELMORA_HOST_NET_WEB_URL_H_
