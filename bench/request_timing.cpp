// Whole requests timed with a clock: the Win32 build's timing, where there
// is no Google Benchmark (Debian ships it for the build machine only). The
// cases of request_bench.cpp that the release's -O2/-Os choice rests on
// (docs/windows.md), each run as often as fills 0.1 s, then timed that often
// five times; prints the median, fastest and slowest wall time of one
// request. No targets: request_bench.cpp checks those natively.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "bench/request_cases.h"
#include "plugin/plugin_api.h"

namespace velmora::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMinSeconds = 0.1;
constexpr int kRepetitions = 5;

// What the requests return goes here, so that none is optimised away.
volatile std::size_t g_sink = 0;

struct Case {
  const char* name;
  const Texts& texts;
  bool throughExports;
};

void RunOnce(const Case& c) {
  if (c.throughExports) {
    g_sink = g_sink + PlgGetDirectLink(kExportLink)[0];
  } else {
    g_sink = g_sink + RunResolver(c.texts);
  }
}

double SecondsOf(const Case& c, std::size_t requests) {
  const Clock::time_point start = Clock::now();
  for (std::size_t i = 0; i < requests; ++i) RunOnce(c);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// "63.1 us", "21.30 ms", "1.69 s".
void PrintTime(double seconds) {
  if (seconds < 1e-3) {
    std::printf(" %9.1f us", seconds * 1e6);
  } else if (seconds < 1) {
    std::printf(" %9.2f ms", seconds * 1e3);
  } else {
    std::printf(" %9.2f s ", seconds);
  }
}

void Time(const Case& c) {
  if (c.throughExports) InitExports(c.texts);
  // Doubled until one round fills the minimum time; the rounds so far warm up.
  std::size_t requests = 1;
  while (SecondsOf(c, requests) < kMinSeconds) requests *= 2;
  std::vector<double> perRequest;
  for (int i = 0; i < kRepetitions; ++i) {
    perRequest.push_back(SecondsOf(c, requests) / static_cast<double>(requests));
  }
  if (c.throughExports) PlgDestroy();
  std::sort(perRequest.begin(), perRequest.end());
  std::printf("%-32s", c.name);
  PrintTime(perRequest[perRequest.size() / 2]);
  PrintTime(perRequest.front());
  PrintTime(perRequest.back());
  std::printf(" %10lu\n", static_cast<unsigned long>(requests));
  std::fflush(stdout);
}

}  // namespace
}  // namespace velmora::bench

int main() {
  using namespace velmora::bench;
  const Texts named = NamedTexts(16384);
  const Case cases[] = {
      {"a_typical_50k/resolver", Typical(), false},
      {"a_typical_50k/exports", Typical(), true},
      {"b_large_8m/resolver", Large(), false},
      {"b_dense_8m/resolver", Dense(), false},
      {"c_nameless_inputs/resolver/1k", Adversarial(1024), false},
      {"c_nameless_inputs/resolver/16k", Adversarial(16384), false},
      {"c_nameless_inputs/resolver/64k", Adversarial(65536), false},
      {"c_named_inputs/resolver/16k", named, false},
  };
  std::printf("Wall time of one request, %d rounds of at least %.1f s each\n", kRepetitions,
              kMinSeconds);
  std::printf("%-32s %12s %12s %12s %10s\n", "case", "median", "fastest", "slowest", "per round");
  for (const Case& c : cases) Time(c);
  return 0;
}
