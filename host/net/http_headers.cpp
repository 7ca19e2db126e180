#include "host/net/http_headers.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <ctime>

namespace velmora::host {
namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

bool HeaderIs(std::string_view line, std::string_view name, std::string_view* value) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
  }
  if (value != nullptr) *value = Trimmed(line.substr(name.size() + 1));
  return true;
}

std::string HeaderValue(const std::vector<std::string>& lines, std::string_view name) {
  std::string_view found;
  for (const std::string& line : lines) {
    std::string_view value;
    if (HeaderIs(line, name, &value)) found = value;
  }
  return std::string(found);
}

bool IsHeaderLine(const std::string& line, std::string& why) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) {
    why = "a header is given as 'Name: value'";
    return false;
  }
  for (size_t i = 0; i < colon; ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if (c <= 0x20 || c >= 0x7F ||
        std::string_view("\"(),/:;<=>?@[\\]{}").find(static_cast<char>(c)) !=
            std::string_view::npos) {
      why = "the header name holds a character a name cannot have";
      return false;
    }
  }
  if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    why = "a header cannot hold a line break";
    return false;
  }
  return true;
}

std::string MaskedHeaderLine(const std::string& line) {
  constexpr char kMask[] = "***";
  const bool set = HeaderIs(line, "set-cookie");
  if (set || HeaderIs(line, "cookie")) {
    std::string out = line.substr(0, line.find(':') + 1);
    std::string_view rest = std::string_view(line).substr(out.size());
    // Cookie: every pair; Set-Cookie: the first pair, the attributes stay.
    bool first = true;
    while (!rest.empty()) {
      const size_t semicolon = rest.find(';');
      const std::string_view pair = rest.substr(0, semicolon);
      const size_t equals = pair.find('=');
      const size_t start = pair.find_first_not_of(" \t");
      if ((first || !set) && equals != std::string_view::npos) {
        out.append(pair.substr(0, equals + 1));
        out += kMask;
      } else if ((first || !set) && start != std::string_view::npos) {
        out.append(pair.substr(0, start));  // a value without a name
        out += kMask;
      } else {
        out.append(pair);
      }
      first = false;
      if (semicolon == std::string_view::npos) break;
      out += ';';
      rest.remove_prefix(semicolon + 1);
    }
    return out;
  }
  if (HeaderIs(line, "authorization") || HeaderIs(line, "proxy-authorization")) {
    std::string out = line.substr(0, line.find(':') + 1);
    const size_t scheme = line.find_first_not_of(' ', out.size());
    const size_t space = scheme == std::string::npos ? scheme : line.find(' ', scheme);
    if (space != std::string::npos) out += " " + line.substr(scheme, space - scheme);
    return out + " " + kMask;
  }
  return line;
}

std::string MaskedUrlPasswords(std::string_view text) {
  std::string out;
  size_t done = 0;
  // Every "//" that starts an authority (also in a scheme-relative
  // Location): its userinfo ends at the last "@" before the path, and the
  // password follows the first ":" in it.
  for (size_t slashes = text.find("//"); slashes != std::string_view::npos;) {
    const size_t from = slashes + 2;
    const size_t end = std::min(text.find_first_of("/?#\\ \t\r\n\"'<>", from), text.size());
    const std::string_view authority = text.substr(from, end - from);
    const size_t at = authority.rfind('@');
    const size_t colon = authority.find(':');
    if (at != std::string_view::npos && colon < at) {
      out.append(text.substr(done, from + colon + 1 - done));
      out += "***";
      done = from + at;
    }
    slashes = text.find("//", end);
  }
  out.append(text.substr(done));
  return out;
}

int64_t HeaderNumber(std::string_view text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos) {
    return -1;
  }
  int64_t value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  return value;
}

void ParseContentRange(std::string_view value, int64_t& first, int64_t& total) {
  first = total = -1;
  if (value.rfind("bytes ", 0) != 0) return;
  value.remove_prefix(6);
  const size_t slash = value.find('/');
  if (slash == std::string_view::npos) return;
  total = HeaderNumber(value.substr(slash + 1));
  const std::string_view range = value.substr(0, slash);
  const size_t dash = range.find('-');
  if (dash == std::string_view::npos) return;
  const int64_t from = HeaderNumber(range.substr(0, dash));
  const int64_t last = HeaderNumber(range.substr(dash + 1));
  // A range that ends before it starts, or past the total, names no bytes.
  if (from < 0 || last < from || (total >= 0 && last >= total)) return;
  first = from;
}

double RetryAfterSeconds(std::string_view value) {
  const int64_t seconds = HeaderNumber(value);
  if (seconds >= 0) return static_cast<double>(seconds);
  if (value.empty()) return -1;
  const std::string date(value);
  const time_t when = curl_getdate(date.c_str(), nullptr);
  if (when == -1) return -1;
  const double ahead = std::difftime(when, std::time(nullptr));
  return ahead > 0 ? ahead : 0;
}

}  // namespace velmora::host
