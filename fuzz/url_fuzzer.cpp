// libFuzzer target: the URL checks. The input is a base URL, a line end,
// then a reference (a form action, say). What IsWebUrl accepts and what
// ResolveWebUrl resolves is the whole text (curl saw every byte: no NUL);
// what ResolveWebUrl gives passes IsWebUrl and resolves to itself; an empty
// reference resolves exactly when the base is a web URL.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_checks.h"
#include "host/net/web_url.h"

namespace {

using velmora::fuzz::Require;

bool Accepted(const std::string& url) {
  std::string why;
  const bool accepted = velmora::host::IsWebUrl(url, why);
  Require(accepted == why.empty());
  if (accepted) Require(url.find('\0') == std::string::npos);
  return accepted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::host;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  const std::string base = input.substr(0, split);
  const std::string reference = split == std::string::npos ? "" : input.substr(split + 1);

  Accepted(input);
  const bool baseAccepted = Accepted(base);

  std::string resolved, why;
  if (ResolveWebUrl(base, reference, resolved, why)) {
    Require(input.find('\0') == std::string::npos);
    Require(Accepted(resolved));
    // Resolving is done once: the result against itself is itself.
    std::string again;
    Require(ResolveWebUrl(resolved, "", again, why) && again == resolved);
  } else {
    Require(!why.empty());
  }
  std::string alone;
  Require(ResolveWebUrl(base, "", alone, why) == baseAccepted);
  HostOfUrl(input);
  PathOfUrl(input);
  return 0;
}
