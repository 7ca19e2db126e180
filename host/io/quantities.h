// Sizes, rates and durations as people read them.
#ifndef VELMORA_HOST_IO_QUANTITIES_H_
#define VELMORA_HOST_IO_QUANTITIES_H_

#include <cstdint>
#include <string>

namespace velmora::host {

// "512 B", "1.5 KiB", "4.0 MiB", ...
std::string SizeText(uint64_t bytes);
// "2.3 MiB/s"; "-" for no time.
std::string RateText(uint64_t bytes, double seconds);
// Seconds to the millisecond, without trailing zeros: "0.5", "86400.25", "30".
std::string SecondsText(double seconds);

}  // namespace velmora::host

#endif  // VELMORA_HOST_IO_QUANTITIES_H_
