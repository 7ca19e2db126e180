// The part of Google Benchmark's interface that request_bench.cpp uses, for
// the Win32 cross build: Debian ships Google Benchmark for the build machine
// only. Same flags (--benchmark_filter, _repetitions, _min_time,
// _report_aggregates_only), same way of choosing the number of iterations
// (enough for the minimum time), CPU time of the running thread.
#ifndef VELMORA_BENCH_BENCHMARK_LITE_H_
#define VELMORA_BENCH_BENCHMARK_LITE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace benchmark {

enum TimeUnit { kNanosecond, kMicrosecond, kMillisecond, kSecond };
double GetTimeUnitMultiplier(TimeUnit unit);

template <typename T>
inline void DoNotOptimize(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

struct Counter {
  Counter(double v = 0) : value(v) {}
  operator double() const { return value; }
  double value;
};
using UserCounters = std::map<std::string, Counter>;

class State {
 public:
  struct __attribute__((unused)) Value {};  // what `for (auto _ : state)` declares
  class Iterator {
   public:
    Iterator(State* state, std::int64_t left) : state_(state), left_(left) {}
    Value operator*() const { return {}; }
    Iterator& operator++() {
      --left_;
      return *this;
    }
    bool operator!=(const Iterator&) {
      if (left_ > 0) return true;
      state_->Stop();
      return false;
    }

   private:
    State* state_;
    std::int64_t left_;
  };

  explicit State(std::int64_t iterations) : iterations_(iterations) {}
  Iterator begin();
  Iterator end() { return {this, 0}; }
  std::int64_t iterations() const { return iterations_; }
  void SetBytesProcessed(std::int64_t bytes) { bytes_ = bytes; }

  UserCounters counters;

 private:
  friend class Runner;
  void Stop();

  std::int64_t iterations_;
  std::int64_t bytes_ = 0;
  double realStart_ = 0, cpuStart_ = 0;
  double realSeconds_ = 0, cpuSeconds_ = 0;
};

class Benchmark {
 public:
  Benchmark(std::string name, std::function<void(State&)> run)
      : name_(std::move(name)), run_(std::move(run)) {}
  Benchmark* Unit(TimeUnit unit) {
    unit_ = unit;
    return this;
  }
  Benchmark* Iterations(std::int64_t n) {
    iterations_ = n;
    return this;
  }

 private:
  friend class Runner;
  std::string name_;
  std::function<void(State&)> run_;
  TimeUnit unit_ = kNanosecond;
  std::int64_t iterations_ = 0;  // 0: as many as the minimum time takes
};

Benchmark* RegisterBenchmarkInternal(Benchmark* benchmark);

template <typename Fn, typename... Args>
Benchmark* RegisterBenchmark(const char* name, Fn&& fn, Args&&... args) {
  return RegisterBenchmarkInternal(new Benchmark(
      name, [=](State& state) { fn(state, args...); }));
}

class BenchmarkReporter {
 public:
  struct Run {
    enum RunType { RT_Iteration, RT_Aggregate };
    std::string benchmark_name() const { return name; }
    // CPU time of one iteration in time_unit.
    double GetAdjustedCPUTime() const;
    double GetAdjustedRealTime() const;

    std::string name;
    RunType run_type = RT_Iteration;
    std::string aggregate_name;
    bool error_occurred = false;
    std::int64_t iterations = 0;
    double real_accumulated_time = 0;  // seconds
    double cpu_accumulated_time = 0;   // seconds
    TimeUnit time_unit = kNanosecond;
    UserCounters counters;
  };
  virtual ~BenchmarkReporter() = default;
  virtual void ReportRuns(const std::vector<Run>& runs) = 0;
};

class ConsoleReporter : public BenchmarkReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;

 private:
  bool printedHeader_ = false;
};

void Initialize(int* argc, char** argv);
bool ReportUnrecognizedArguments(int argc, char** argv);
std::size_t RunSpecifiedBenchmarks(BenchmarkReporter* reporter);
inline void Shutdown() {}

}  // namespace benchmark

#endif  // VELMORA_BENCH_BENCHMARK_LITE_H_
