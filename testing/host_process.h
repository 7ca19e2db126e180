// Test support: velmora-host (or any program) run as a child process, as a
// user or a script runs it, and the scratch folders and files around it.
// Used by the host's tests and by the batch benchmark, so nothing here
// reports through gtest: a run that could not start or was killed has code
// -1 and says why in fault.
#ifndef VELMORA_TESTING_HOST_PROCESS_H_
#define VELMORA_TESTING_HOST_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

namespace fs = std::filesystem;

// A new folder under the system's temporary folder, removed with all it
// holds when this goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The whole file (empty when it cannot be read), and a file made of text.
std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, std::string_view text);

struct ProcessIo {
  std::string input = {};                     // on stdin
  std::string stdoutPath = {};                // empty: captured into out; else written there (and
                                              // read back into out unless it is under /dev/)
  bool discard = false;                       // stdout and stderr to /dev/null, nothing captured
  std::vector<std::string> environment = {};  // NAME=value, over this process's own
  std::chrono::seconds deadline{60};          // then the child is killed
};

struct ProcessRun {
  int code = -1;      // exit status, 128 + signal, or -1 with fault
  std::string out;    // stdout, unless redirected or discarded
  std::string err;    // stderr, unless discarded
  std::string fault;  // why there is no code: not started, killed at the deadline
  double seconds = 0;
  long peakKiB = 0;  // the child's peak resident set
};

// A started child; FinishProcess waits for it. One never finished (a test
// that stopped early) is killed when this goes.
struct Process {
  Process() = default;
  Process(Process&& other) noexcept;
  Process& operator=(Process&&) = delete;
  ~Process();
  pid_t pid = -1;
  std::unique_ptr<ScratchDir> io;  // its stdin, stdout and stderr files
  std::string out, err;
  bool readOut = true, readErr = true;
  std::chrono::steady_clock::time_point started, deadline;
  std::string fault;
};

// program is looked up in PATH unless it holds a '/'.
Process StartProcess(const std::string& program, const std::vector<std::string>& args,
                     const ProcessIo& io = {});
ProcessRun FinishProcess(Process& process);
ProcessRun RunProcess(const std::string& program, const std::vector<std::string>& args,
                      const ProcessIo& io = {});

// The same for the velmora-host of this build.
const char* HostPath();
Process StartHost(const std::vector<std::string>& args, const ProcessIo& io = {});
ProcessRun RunHost(const std::vector<std::string>& args, const ProcessIo& io = {});

// Empty when text holds no raw control byte but LF and no line wider than
// width code points; else the first fault found.
std::string PrintableFault(std::string_view text, size_t width = std::string_view::npos);

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_HOST_PROCESS_H_
