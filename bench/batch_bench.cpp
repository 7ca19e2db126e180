// Batch benchmark of velmora-host (not a test): a loopback site that delays
// every answer by 100 ms serves 64 file pages whose forms lead to files of
// 4 MiB. It times `resolve`, `check` and `get` with --jobs 1, 4, 8 and 16, and curl
// alone fetching the same 64 files with 8 parallel transfers, in the same
// run; the peak memory of `get` for files of 4 MiB and of 64 MiB; and the
// peak memory of `resolve --jobs 8 -a` for batches of 10,000 and 100,000
// links on pages without delay. It ends with a summary of the targets and
// exits non-zero when one is missed.
//
//   build/native/velmora_batch_bench [--quick] [--memory-only] [--lengths N,M]
//                                    [--host PROGRAM]
//
// --quick: 16 pages and --jobs 1 and 8 only, to try it out. --memory-only:
// the long batches only; --lengths: theirs, instead of 10000,100000. --host: another velmora-host
// (another build's, with its plugin next to it) instead of this build's.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/host_process.h"
#include "testing/test_site.h"

namespace {

namespace fs = std::filesystem;
using velmora::testing::ProcessRun;

constexpr auto kDelay = std::chrono::milliseconds(100);
constexpr size_t kMiB = size_t{1} << 20;

// The test site with routes of its own: /f/N the file page, POST /dl/N the
// answer with the direct link, /files/SIZE/N.bin the file (SIZE in MiB),
// each after the delay.
class BenchSite {
 public:
  BenchSite() : site_(128), pattern_(kMiB) {
    for (size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = static_cast<char>(i * 131 % 251);
    site_.Route(
        "GET", R"(/f/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
          std::this_thread::sleep_for(kDelay);
          response.set_header("Set-Cookie", "sid=" + request.matches[1].str() + "; Path=/");
          response.set_content(
              "<HTML><BODY><FORM METHOD=\"POST\" ACTION=\"/dl/" + request.matches[1].str() +
                  "\">\n<INPUT TYPE=\"hidden\" NAME=\"id\" VALUE=\"" + request.matches[1].str() +
                  "\">\n<INPUT TYPE=\"submit\" NAME=\"method_free\" "
                  "VALUE=\"Free\">\n</FORM></BODY></HTML>\n",
              "text/html");
        });
    site_.Route("POST", R"(/dl/(\d+))",
                [this](const httplib::Request& request, httplib::Response& response) {
                  std::this_thread::sleep_for(kDelay);
                  response.set_content("<P>Your download link:</P>\n<A HREF=\"" + Base() +
                                           "/files/" + std::to_string(fileMiB_) + "/" +
                                           request.matches[1].str() + ".bin\">go</A>\n",
                                       "text/html");
                });
    // The long batches' pages: the same, at once.
    site_.Route(
        "GET", R"(/now/f/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
          response.set_content("<HTML><BODY><FORM METHOD=\"POST\" ACTION=\"/now/dl/" +
                                   request.matches[1].str() +
                                   "\">\n<INPUT TYPE=\"hidden\" NAME=\"id\" VALUE=\"" +
                                   request.matches[1].str() + "\">\n</FORM></BODY></HTML>\n",
                               "text/html");
        });
    site_.Route("POST", R"(/now/dl/(\d+))",
                [this](const httplib::Request& request, httplib::Response& response) {
                  response.set_content("<P>Your download link:</P>\n<A HREF=\"" + Base() +
                                           "/files/1/" + request.matches[1].str() +
                                           ".bin\">go</A>\n",
                                       "text/html");
                });
    site_.Route("GET", R"(/files/(\d+)/(\d+)\.bin)",
                [this](const httplib::Request& request, httplib::Response& response) {
                  std::this_thread::sleep_for(kDelay);
                  const size_t size = std::stoul(request.matches[1].str()) * kMiB;
                  response.set_header(
                      "Content-Disposition",
                      "attachment; filename=\"file-" + request.matches[2].str() + ".bin\"");
                  response.set_content_provider(
                      size, "application/octet-stream",
                      [this](size_t offset, size_t length, httplib::DataSink& sink) {
                        const size_t at = offset % pattern_.size();
                        const size_t chunk = std::min(length, pattern_.size() - at);
                        return sink.write(pattern_.data() + at, chunk);
                      });
                });
    site_.Start();
  }
  std::string Base() const { return site_.Url(""); }
  void SetFileMiB(size_t mib) { fileMiB_ = mib; }
  size_t fileMiB() const { return fileMiB_; }

 private:
  velmora::testing::TestSite site_;
  std::vector<char> pattern_;
  size_t fileMiB_ = 4;
};

// Runs program with args, stdout and stderr to /dev/null.
ProcessRun Spawn(const std::string& program, const std::vector<std::string>& args) {
  return velmora::testing::RunProcess(program, args,
                                      {.discard = true, .deadline = std::chrono::minutes(10)});
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class Scratch {
 public:
  const fs::path& path() const { return dir_.path(); }
  // An empty folder for one run's files.
  std::string Fresh(const std::string& name) const {
    fs::remove_all(path() / name);
    fs::create_directory(path() / name);
    return (path() / name).string();
  }

 private:
  velmora::testing::ScratchDir dir_;
};

bool g_failed = false;

void Check(bool ok, const std::string& what) {
  std::printf("  %-4s %s\n", ok ? "ok" : "MISS", what.c_str());
  if (!ok) g_failed = true;
}

}  // namespace

// VmHWM of process pid in KiB; 0 once it has ended.
long HighWaterKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// Peak memory of resolve --jobs 8 over batches of 10k and 100k links:
// whatever the length, the same memory.
void LongBatches(const std::string& host, const BenchSite& site, const Scratch& scratch,
                 const size_t (&lengths)[2]) {
  long peak[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    const std::string list = (scratch.path() / "long.txt").string();
    {
      std::ofstream out(list);
      for (size_t i = 0; i < lengths[k]; ++i) out << site.Base() << "/now/f/" << i << "\n";
    }
    velmora::testing::Process process =
        velmora::testing::StartProcess(host, {"resolve", "--jobs", "8", "-a", list},
                                       {.discard = true, .deadline = std::chrono::minutes(10)});
    // Not wait4's figure: a spawned child's starts at this program's size.
    // The child's own high-water mark, read until it ends (it only rises).
    long hwm = 0;
    for (long now = 0; (now = HighWaterKiB(process.pid)) > 0;) {
      hwm = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const ProcessRun run = velmora::testing::FinishProcess(process);
    if (run.code != 0) {
      std::printf("  a run failed with exit code %d %s\n", run.code, run.fault.c_str());
      g_failed = true;
    }
    peak[k] = hwm;
    std::printf("peak RSS of resolve --jobs 8 -a, %7zu links: %6.1f MiB (%.1f s)\n", lengths[k],
                static_cast<double>(hwm) / 1024, run.seconds);
  }
  char line[200];
  std::snprintf(line, sizeof line,
                "peak memory of resolve: %.1f MiB for %zu links, %.1f MiB for %zu (at most 1.5x)",
                static_cast<double>(peak[1]) / 1024, lengths[1],
                static_cast<double>(peak[0]) / 1024, lengths[0]);
  Check(peak[1] * 2 <= peak[0] * 3, line);
}

int main(int argc, char** argv) {
  bool quick = false, memoryOnly = false;
  size_t lengths[2] = {10000, 100000};  // of the long batches
  std::string host = velmora::testing::HostPath();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--memory-only") == 0) {
      memoryOnly = true;
    } else if (std::strcmp(argv[i], "--host") == 0 && i + 1 < argc) {
      host = argv[++i];
    } else if (std::strcmp(argv[i], "--lengths") == 0 && i + 1 < argc &&
               std::sscanf(argv[i + 1], "%zu,%zu", &lengths[0], &lengths[1]) == 2) {
      ++i;
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--memory-only] [--lengths N,M] [--host PROGRAM]\n",
                   argv[0]);
      return 2;
    }
  }
  const size_t pages = quick ? 16 : 64;
  const std::vector<int> jobs = quick ? std::vector<int>{1, 8} : std::vector<int>{1, 4, 8, 16};
  const int repetitions = quick ? 1 : 3;  // of the runs the targets compare

  BenchSite site;
  Scratch scratch;
  if (memoryOnly) {
    std::printf("velmora-host long batches on 127.0.0.1, pages without delay\n\ntargets:\n");
    LongBatches(host, site, scratch, lengths);
    return g_failed ? 1 : 0;
  }
  const std::string list = (scratch.path() / "links.txt").string();
  {
    std::ofstream out(list);
    for (size_t i = 0; i < pages; ++i) out << site.Base() << "/f/" << i << "\n";
  }
  std::printf(
      "velmora-host batch benchmark: %zu file pages of %zu MiB on 127.0.0.1, every "
      "answer delayed by %lld ms\n\n",
      pages, site.fileMiB(), static_cast<long long>(kDelay.count()));

  auto timed = [&](int count, auto&& once) {
    std::vector<double> seconds;
    for (int i = 0; i < count; ++i) {
      const ProcessRun run = once();
      if (run.code != 0) {
        std::printf("  a run failed with exit code %d %s\n", run.code, run.fault.c_str());
        g_failed = true;
      }
      seconds.push_back(run.seconds);
    }
    return Median(seconds);
  };

  std::vector<double> resolveSeconds, checkSeconds, getSeconds;
  for (const int j : jobs) {
    const int count = j == 8 ? repetitions : 1;
    resolveSeconds.push_back(timed(count, [&] {
      return Spawn(host, {"resolve", "--jobs", std::to_string(j), "-a", list});
    }));
    checkSeconds.push_back(timed(count, [&] {
      return Spawn(host, {"check", "--jobs", std::to_string(j), "-a", list});
    }));
    getSeconds.push_back(timed(count, [&] {
      return Spawn(
          host, {"get", "--jobs", std::to_string(j), "-q", "-o", scratch.Fresh("get"), "-a", list});
    }));
  }
  std::vector<std::string> curlArgs = {"--silent", "--fail", "--parallel", "--parallel-max", "8"};
  const std::string curlDir = scratch.Fresh("curl");
  for (size_t i = 0; i < pages; ++i) {
    curlArgs.push_back(site.Base() + "/files/" + std::to_string(site.fileMiB()) + "/" +
                       std::to_string(i) + ".bin");
    curlArgs.push_back("-o");
    curlArgs.push_back(curlDir + "/" + std::to_string(i) + ".bin");
  }
  const double curlSeconds = timed(repetitions, [&] { return Spawn("curl", curlArgs); });

  const double mib = static_cast<double>(pages * site.fileMiB());
  std::printf("%-8s %12s %12s %12s %16s\n", "--jobs", "resolve s", "check s", "get s",
              "get moves MiB/s");
  size_t eight = 0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (jobs[i] == 8) eight = i;
    // The files' share of get: its time less that of resolving the same links.
    const double moving = getSeconds[i] - resolveSeconds[i];
    std::printf("%-8d %12.2f %12.2f %12.2f %16.1f\n", jobs[i], resolveSeconds[i], checkSeconds[i],
                getSeconds[i], moving > 0 ? mib / moving : 0.0);
  }
  std::printf("%-8s %12s %12s %12.2f %16.1f   (curl alone, the %zu files, 8 parallel transfers)\n",
              "curl", "-", "-", curlSeconds, mib / curlSeconds, pages);

  // Peak memory: the same batch with files 16 times larger.
  const size_t memoryPages = 8;
  const std::string memoryList = (scratch.path() / "memory.txt").string();
  {
    std::ofstream out(memoryList);
    for (size_t i = 0; i < memoryPages; ++i) out << site.Base() << "/f/" << i << "\n";
  }
  long peak[2] = {0, 0};
  const size_t sizes[2] = {4, 64};
  for (int k = 0; k < 2; ++k) {
    site.SetFileMiB(sizes[k]);
    const ProcessRun run =
        Spawn(host, {"get", "--jobs", "8", "-q", "-o", scratch.Fresh("memory"), "-a", memoryList});
    if (run.code != 0) g_failed = true;
    peak[k] = run.peakKiB;
    std::printf("peak RSS of get --jobs 8, %zu files of %2zu MiB: %6.1f MiB\n", memoryPages,
                sizes[k], static_cast<double>(run.peakKiB) / 1024);
  }
  fs::remove_all(scratch.path() / "memory");

  std::printf("\ntargets:\n");
  const double resolveRatio = resolveSeconds[0] / resolveSeconds[eight];
  char line[200];
  std::snprintf(line, sizeof line, "resolve --jobs 8 takes 1/%.1f of --jobs 1 (at most 1/5)",
                resolveRatio);
  Check(resolveRatio >= 5, line);
  const double checkRatio = checkSeconds[0] / checkSeconds[eight];
  std::snprintf(line, sizeof line, "check --jobs 8 takes 1/%.1f of --jobs 1 (at most 1/5)",
                checkRatio);
  Check(checkRatio >= 5, line);
  const double moving = getSeconds[eight] - resolveSeconds[eight];
  const double share = moving > 0 ? curlSeconds / moving : 0;
  std::snprintf(line, sizeof line,
                "get --jobs 8 moves the files at %.0f%% of curl's rate with 8 transfers (at least "
                "80%%)",
                share * 100);
  Check(share >= 0.8, line);
  std::snprintf(line, sizeof line,
                "peak memory of get: %.1f MiB for 64 MiB files, %.1f MiB for 4 MiB files (not "
                "growing with the size)",
                static_cast<double>(peak[1]) / 1024, static_cast<double>(peak[0]) / 1024);
  Check(peak[1] <= peak[0] + 8 * 1024, line);
  LongBatches(host, site, scratch, lengths);
  return g_failed ? 1 : 0;
}
