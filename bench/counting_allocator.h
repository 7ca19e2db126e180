// Byte counts of the benchmark binary's replaced global allocator.
#ifndef VELMORA_BENCH_COUNTING_ALLOCATOR_H_
#define VELMORA_BENCH_COUNTING_ALLOCATOR_H_

#include <cstddef>

namespace velmora::bench {

std::size_t BytesInUse();
// Starts a new peak at the bytes now in use.
void ResetPeak();
// The most bytes in use since the last ResetPeak().
std::size_t PeakBytes();

}  // namespace velmora::bench

#endif  // VELMORA_BENCH_COUNTING_ALLOCATOR_H_
