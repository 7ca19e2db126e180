// libFuzzer target: batch input. The input is the batch file. Every item is
// a bad line (saying why) or a URL IsWebUrl accepts that holds no NUL and no
// surrounding blanks; no comment becomes an item; line numbers rise.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"
#include "host/cli/batch_input.h"
#include "host/net/web_url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::host;
  using velmora::fuzz::Require;
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::istringstream in(input);
  const std::vector<LinkItem> items = ReadBatchLines(in);

  size_t lines = 1;
  for (const char c : input) lines += c == '\n';
  size_t previous = 0;
  for (const LinkItem& item : items) {
    Require(item.line > previous && item.line <= lines);
    previous = item.line;
    Require(!item.url.empty() && item.url.front() != '#');
    for (const char blank : {' ', '\t', '\r'}) {
      Require(item.url.front() != blank && item.url.back() != blank);
    }
    if (!item.bad.empty()) continue;
    Require(item.url.find('\0') == std::string::npos);
    std::string why;
    Require(IsWebUrl(item.url, why));
  }
  return 0;
}
