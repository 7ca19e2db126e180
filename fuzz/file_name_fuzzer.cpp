// libFuzzer target: the name a downloaded file gets. The input is a
// Content-Disposition value, a line end, then the final URL. The name is
// safe to create in the output folder (also one shared with Windows): not
// empty, "." or "..", no "/" or "\", well-formed UTF-8 with no unsafe code
// point, no leading dot, no trailing dot or blank, within the cap (plus the
// "_" before a device's name and the "_" that keeps it from ending in the
// partial-file suffix: a cut name can need both); and it is the same every
// time for the same input.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_checks.h"
#include "host/download/file_naming.h"
#include "host/io/terminal_text.h"

namespace {

using velmora::fuzz::Require;

bool EndsInPartSuffix(std::string_view name) {
  constexpr std::string_view kSuffix = velmora::host::kPartSuffix;
  if (name.size() < kSuffix.size()) return false;
  const std::string_view end = name.substr(name.size() - kSuffix.size());
  for (size_t i = 0; i < end.size(); ++i) {
    const char c = end[i] >= 'A' && end[i] <= 'Z' ? static_cast<char>(end[i] - 'A' + 'a') : end[i];
    if (c != kSuffix[i]) return false;
  }
  return true;
}

void RequireSafe(const std::string& name) {
  using namespace velmora::host;
  Require(!name.empty() && name != "." && name != "..");
  Require(name.front() != '.');
  Require(name.back() != '.' && name.back() != ' ');  // Windows would drop them
  // The cap, plus the "_" that keeps a name from being a device's and the
  // one that keeps it from ending in the suffix.
  Require(name.size() <= kMaxNameBytes + 2);
  Require(name.find_first_of("/\\") == std::string::npos);
  Require(!EndsInPartSuffix(name));
  const std::optional<std::u32string> codes = velmora::fuzz::DecodeUtf8(name);
  Require(codes.has_value());
  for (const char32_t code : *codes) Require(!IsUnsafeCodePoint(code));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::host;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  const std::string_view disposition = input.substr(0, split);
  const std::string url(split == std::string_view::npos ? "" : input.substr(split + 1));

  const std::string name = DownloadFileName(disposition, url);
  RequireSafe(name);
  Require(DownloadFileName(disposition, url) == name);

  // Each proposal on its own, and the raw input as one: safe, or nothing.
  for (const std::string& proposed :
       {DispositionFileName(disposition), UrlFileName(url), std::string(input)}) {
    const std::string safe = SafeFileName(proposed);
    if (!safe.empty()) RequireSafe(safe);
  }
  return 0;
}
