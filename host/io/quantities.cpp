#include "host/io/quantities.h"

#include <cstdio>
#include <iterator>

namespace velmora::host {

std::string SizeText(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

std::string RateText(uint64_t bytes, double seconds) {
  if (seconds <= 0) return "-";
  return SizeText(static_cast<uint64_t>(static_cast<double>(bytes) / seconds)) + "/s";
}

std::string SecondsText(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  std::string shown = text;
  shown.erase(shown.find_last_not_of('0') + 1);
  if (shown.back() == '.') shown.pop_back();
  return shown;
}

}  // namespace velmora::host
