#include "host/net/form_encoding.h"

#include <curl/curl.h>

#include <memory>
#include <stdexcept>

namespace velmora::host {
namespace {

void AppendEscaped(std::string& out, std::string_view bytes) {
  if (bytes.empty()) return;
  // curl escapes everything but the unreserved characters of RFC 3986.
  std::unique_ptr<char, decltype(&curl_free)> escaped(
      curl_easy_escape(nullptr, bytes.data(), static_cast<int>(bytes.size())), &curl_free);
  if (!escaped) throw std::bad_alloc();
  out += escaped.get();
}

}  // namespace

std::string EncodeFormBody(std::string_view paramText) {
  std::string body;
  size_t start = 0;
  while (start < paramText.size()) {
    size_t end = paramText.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = paramText.size();
    const std::string_view line = paramText.substr(start, end - start);
    start = end + 1;
    if (end + 1 < paramText.size() && paramText[end] == '\r' && paramText[end + 1] == '\n') {
      ++start;
    }
    if (line.empty()) continue;

    const size_t equals = line.find('=');
    if (!body.empty()) body += '&';
    AppendEscaped(body, line.substr(0, equals));
    body += '=';
    if (equals != std::string_view::npos) AppendEscaped(body, line.substr(equals + 1));
  }
  return body;
}

}  // namespace velmora::host
