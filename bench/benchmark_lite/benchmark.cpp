#include "benchmark/benchmark.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#endif

namespace benchmark {
namespace {

struct Options {
  std::string filter = ".";
  int repetitions = 1;
  double minSeconds = 0.5;
  bool aggregatesOnly = false;
} g_options;

std::vector<std::string> g_unrecognized;

std::vector<std::unique_ptr<Benchmark>>& Registry() {
  static std::vector<std::unique_ptr<Benchmark>> registry;
  return registry;
}

double RealSeconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// CPU time of the calling thread.
double CpuSeconds() {
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;
#else
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

const char* UnitName(TimeUnit unit) {
  switch (unit) {
    case kNanosecond: return "ns";
    case kMicrosecond: return "us";
    case kMillisecond: return "ms";
    case kSecond: return "s";
  }
  return "?";
}

// 1234567 -> "1.23457M"; bytes per second in binary units as Google Benchmark.
std::string Human(double value, bool binary) {
  const double step = binary ? 1024 : 1000;
  const char* const prefixes[] = {"", "k", "M", "G", "T"};
  int prefix = 0;
  while (std::fabs(value) >= step && prefix < 4) {
    value /= step;
    ++prefix;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%g%s%s", value, prefixes[prefix],
                binary && prefix > 0 ? "i" : "");
  return text;
}

// Four significant digits or whole units.
std::string Time(double value) {
  char text[32];
  const int decimals = value >= 1000 ? 0 : value >= 100 ? 1 : value >= 10 ? 2 : 3;
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

bool Flag(const char* arg, const char* name, std::string& value) {
  const std::size_t length = std::strlen(name);
  if (std::strncmp(arg, name, length) != 0 || arg[length] != '=') return false;
  value = arg + length + 1;
  return true;
}

}  // namespace

double GetTimeUnitMultiplier(TimeUnit unit) {
  switch (unit) {
    case kNanosecond: return 1e9;
    case kMicrosecond: return 1e6;
    case kMillisecond: return 1e3;
    case kSecond: return 1;
  }
  return 1;
}

State::Iterator State::begin() {
  realStart_ = RealSeconds();
  cpuStart_ = CpuSeconds();
  return {this, iterations_};
}

void State::Stop() {
  cpuSeconds_ = CpuSeconds() - cpuStart_;
  realSeconds_ = RealSeconds() - realStart_;
}

double BenchmarkReporter::Run::GetAdjustedCPUTime() const {
  return cpu_accumulated_time / static_cast<double>(iterations) * GetTimeUnitMultiplier(time_unit);
}
double BenchmarkReporter::Run::GetAdjustedRealTime() const {
  return real_accumulated_time / static_cast<double>(iterations) * GetTimeUnitMultiplier(time_unit);
}

Benchmark* RegisterBenchmarkInternal(Benchmark* benchmark) {
  Registry().emplace_back(benchmark);
  return benchmark;
}

class Runner {
 public:
  using Run = BenchmarkReporter::Run;

  static Run RunOnce(Benchmark& benchmark, std::int64_t iterations) {
    State state(iterations);
    benchmark.run_(state);
    Run run;
    run.name = benchmark.name_;
    if (benchmark.iterations_ > 0) run.name += "/iterations:" + std::to_string(iterations);
    run.iterations = iterations;
    run.real_accumulated_time = state.realSeconds_;
    run.cpu_accumulated_time = state.cpuSeconds_;
    run.time_unit = benchmark.unit_;
    run.counters = state.counters;
    if (state.bytes_ > 0 && state.cpuSeconds_ > 0) {
      run.counters["bytes_per_second"] = static_cast<double>(state.bytes_) / state.cpuSeconds_;
    }
    return run;
  }

  // Grows the iterations until a run takes the minimum CPU time, as Google
  // Benchmark does; returns that run.
  static Run RunLongEnough(Benchmark& benchmark) {
    if (benchmark.iterations_ > 0) return RunOnce(benchmark, benchmark.iterations_);
    constexpr std::int64_t kMaxIterations = 1000000000;
    for (std::int64_t iterations = 1;;) {
      Run run = RunOnce(benchmark, iterations);
      const double seconds = run.cpu_accumulated_time;
      if (seconds >= g_options.minSeconds || iterations >= kMaxIterations) return run;
      double multiplier = g_options.minSeconds * 1.4 / std::max(seconds, 1e-9);
      if (seconds / g_options.minSeconds <= 0.1) multiplier = 10;
      const double next = std::max(multiplier * static_cast<double>(iterations),
                                   static_cast<double>(iterations) + 1);
      iterations = static_cast<std::int64_t>(std::min(next, static_cast<double>(kMaxIterations)));
    }
  }

  static std::size_t RunAll(BenchmarkReporter& reporter) {
    const std::regex filter(g_options.filter);
    std::size_t ran = 0;
    for (const auto& benchmark : Registry()) {
      if (!std::regex_search(benchmark->name_, filter)) continue;
      std::vector<Run> runs{RunLongEnough(*benchmark)};
      for (int repetition = 1; repetition < g_options.repetitions; ++repetition) {
        runs.push_back(RunOnce(*benchmark, runs.front().iterations));
      }
      if (!g_options.aggregatesOnly || runs.size() == 1) reporter.ReportRuns(runs);
      if (runs.size() > 1) reporter.ReportRuns(Aggregates(runs));
      ++ran;
    }
    return ran;
  }

  // Mean, median and standard deviation of the repetitions, per iteration.
  static std::vector<Run> Aggregates(const std::vector<Run>& runs) {
    const auto perIteration = [](const Run& run, bool cpu) {
      return (cpu ? run.cpu_accumulated_time : run.real_accumulated_time) /
             static_cast<double>(run.iterations);
    };
    std::vector<Run> aggregates;
    for (const char* name : {"mean", "median", "stddev"}) {
      const auto statistic = [&](std::vector<double> values) {
        const double n = static_cast<double>(values.size());
        double mean = 0;
        for (double value : values) mean += value / n;
        if (std::strcmp(name, "mean") == 0) return mean;
        if (std::strcmp(name, "median") == 0) {
          std::sort(values.begin(), values.end());
          const std::size_t middle = values.size() / 2;
          return values.size() % 2 == 1 ? values[middle]
                                        : (values[middle - 1] + values[middle]) / 2;
        }
        double squares = 0;
        for (double value : values) squares += (value - mean) * (value - mean);
        return values.size() > 1 ? std::sqrt(squares / (n - 1)) : 0.0;
      };
      Run aggregate;
      aggregate.name = runs.front().name + "_" + name;
      aggregate.run_type = Run::RT_Aggregate;
      aggregate.aggregate_name = name;
      aggregate.iterations = 1;
      aggregate.time_unit = runs.front().time_unit;
      std::vector<double> real, cpu;
      for (const Run& run : runs) {
        real.push_back(perIteration(run, false));
        cpu.push_back(perIteration(run, true));
      }
      aggregate.real_accumulated_time = statistic(real);
      aggregate.cpu_accumulated_time = statistic(cpu);
      for (const auto& counter : runs.front().counters) {
        std::vector<double> values;
        for (const Run& run : runs) values.push_back(run.counters.at(counter.first));
        aggregate.counters[counter.first] = statistic(values);
      }
      aggregates.push_back(aggregate);
    }
    return aggregates;
  }
};

void ConsoleReporter::ReportRuns(const std::vector<Run>& runs) {
  if (!printedHeader_) {
    std::printf("%-56s %14s %14s %11s\n", "Benchmark", "Time", "CPU", "Iterations");
    std::printf("%s\n", std::string(98, '-').c_str());
    printedHeader_ = true;
  }
  for (const Run& run : runs) {
    std::printf("%-56s %11s %-2s %11s %-2s %11lld", run.benchmark_name().c_str(),
                Time(run.GetAdjustedRealTime()).c_str(), UnitName(run.time_unit),
                Time(run.GetAdjustedCPUTime()).c_str(), UnitName(run.time_unit),
                static_cast<long long>(run.iterations));
    for (const auto& [name, value] : run.counters) {
      const bool rate = name == "bytes_per_second";
      std::printf(" %s=%s%s", name.c_str(), Human(value, rate).c_str(), rate ? "B/s" : "");
    }
    std::printf("\n");
  }
  std::fflush(stdout);
}

void Initialize(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    std::string value;
    if (Flag(argv[i], "--benchmark_filter", value)) {
      g_options.filter = value;
    } else if (Flag(argv[i], "--benchmark_repetitions", value)) {
      g_options.repetitions = std::max(1, std::atoi(value.c_str()));
    } else if (Flag(argv[i], "--benchmark_min_time", value)) {
      g_options.minSeconds = std::atof(value.c_str());  // "0.5" or "0.5s"
    } else if (Flag(argv[i], "--benchmark_report_aggregates_only", value)) {
      g_options.aggregatesOnly = value == "true" || value == "1";
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
}

bool ReportUnrecognizedArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::fprintf(stderr, "%s: error: unrecognized command-line flag: %s\n", argv[0], argv[i]);
  }
  return argc > 1;
}

std::size_t RunSpecifiedBenchmarks(BenchmarkReporter* reporter) {
  return Runner::RunAll(*reporter);
}

}  // namespace benchmark
