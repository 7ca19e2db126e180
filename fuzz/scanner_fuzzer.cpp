// libFuzzer target: the form scanner and the searches under it, against the
// literal reference. The input is the page, NUL bytes included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "resolve/text_primitives.h"
#include "testing/literal_reference.h"
#include "testing/scan_form.h"

namespace {

void Require(bool holds) {
  if (!holds) std::abort();  // a finding: libFuzzer keeps the input
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora;
  const std::string page(reinterpret_cast<const char*>(data), size);

  std::string action = "<unset>";
  std::string params;
  testing::ScanForm(page, action, params);
  literal::Text literalAction = "<unset>";
  const literal::Text literalParams = literal::ScanForm(page, literalAction);
  Require(action == literalAction);
  Require(params == literalParams);

  // The searches on their own, from the middle too.
  const std::string_view view(page);
  for (std::string_view marker : {"<FORM", "NAME=\"", "<", "Your download link"}) {
    for (std::size_t from : {std::size_t{0}, size / 2, size}) {
      Require(FindFrom(view, marker, from) == view.find(marker, from));
    }
  }

  // The first byte picks the lead bytes of a double-byte code page.
  if (size > 0) {
    LeadByteSet leadBytes;
    leadBytes.AddRange(0x81, static_cast<unsigned char>(0x81 + (data[0] & 0x3F)));
    if (data[0] & 0x40) leadBytes.AddRange('\n', '\n');
    const std::string delims = (data[0] & 0x80) ? "\n" : "\n\x82";
    Require(TextLastDelimiter(delims, page, leadBytes) ==
            static_cast<std::size_t>(literal::TextLastDelimiter(delims, page, leadBytes)));
  }
  return 0;
}
