// Platform services on Win32: the system's own lower-casing and lead bytes
// of the ANSI code page.
#include <windows.h>

#include "resolve/ansi_platform.h"

namespace velmora {
namespace {

// A CPINFO holds at most six inclusive ranges, ended by a pair of zeros.
constexpr int kMaxLeadByteRanges = 6;

LeadByteSet ReadSystemLeadBytes() {
  LeadByteSet leadBytes;
  if (GetSystemMetrics(SM_DBCSENABLED) == 0) return leadBytes;
  CPINFO info;
  if (!GetCPInfo(CP_ACP, &info)) return leadBytes;
  for (int range = 0; range < kMaxLeadByteRanges; ++range) {
    const BYTE first = info.LeadByte[2 * range];
    const BYTE last = info.LeadByte[2 * range + 1];
    if (first == 0 && last == 0) break;
    leadBytes.AddRange(first, last);
  }
  return leadBytes;
}

// Read while the library is being loaded, so every later request sees one
// and the same set without asking the system again. The ANSI code page does
// not change while a process runs.
const LeadByteSet kSystemLeadBytes = ReadSystemLeadBytes();
const unsigned kAnsiCodePage = GetACP();

std::uint32_t CharLowerBuffInPlace(char* data, std::uint32_t size) {
  return CharLowerBuffA(data, size);
}

}  // namespace

const LeadByteSet& SystemLeadBytes() { return kSystemLeadBytes; }

void PlatformLower(std::string_view source, char* out) {
  LowerUnderCodePage(source, out, &CharLowerBuffInPlace, kAnsiCodePage, kSystemLeadBytes);
}

}  // namespace velmora
