#include "testing/host_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace velmora::testing {
namespace {

// This process's environment with additions, an addition replacing a
// variable of the same name.
std::vector<std::string> Environment(const std::vector<std::string>& additions) {
  std::vector<std::string> all;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable(*entry);
    bool replaced = false;
    for (const std::string& addition : additions) {
      const size_t equals = addition.find('=');
      replaced |= variable.substr(0, variable.find('=')) == addition.substr(0, equals);
    }
    if (!replaced) all.emplace_back(variable);
  }
  all.insert(all.end(), additions.begin(), additions.end());
  return all;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "velmora-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
}

Process::Process(Process&& other) noexcept
    : pid(other.pid),
      io(std::move(other.io)),
      out(std::move(other.out)),
      err(std::move(other.err)),
      readOut(other.readOut),
      readErr(other.readErr),
      started(other.started),
      deadline(other.deadline),
      fault(std::move(other.fault)) {
  other.pid = -1;
}

Process::~Process() {
  if (pid < 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

Process StartProcess(const std::string& program, const std::vector<std::string>& args,
                     const ProcessIo& io) {
  Process process;
  process.io = std::make_unique<ScratchDir>();
  const fs::path& folder = process.io->path();
  const std::string in = folder / "in";
  WriteFile(in, io.input);
  process.out = io.discard              ? "/dev/null"
                : io.stdoutPath.empty() ? std::string(folder / "out")
                                        : io.stdoutPath;
  process.err = io.discard ? "/dev/null" : std::string(folder / "err");
  process.readOut = process.out.rfind("/dev/", 0) != 0;
  process.readErr = !io.discard;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, process.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, process.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> envp = Environment(io.environment);
  process.started = std::chrono::steady_clock::now();
  process.deadline = process.started + io.deadline;
  const int spawned = posix_spawnp(&process.pid, program.c_str(), &actions, nullptr,
                                   Pointers(argv).data(), Pointers(envp).data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    process.pid = -1;
    process.fault = "cannot start " + program + ": " + std::strerror(spawned);
  }
  return process;
}

ProcessRun FinishProcess(Process& process) {
  ProcessRun run;
  run.fault = process.fault;
  if (process.pid < 0) return run;
  int status = 0;
  rusage usage{};
  while (wait4(process.pid, &status, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() > process.deadline) {
      kill(process.pid, SIGKILL);
      wait4(process.pid, &status, 0, &usage);
      run.fault = "did not finish in time and was killed";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  process.pid = -1;
  run.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - process.started).count();
  run.peakKiB = usage.ru_maxrss;
  if (run.fault.empty()) {
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  if (process.readOut) run.out = ReadFile(process.out);
  if (process.readErr) run.err = ReadFile(process.err);
  if (!run.fault.empty()) run.err += "\n[test] " + run.fault;
  return run;
}

ProcessRun RunProcess(const std::string& program, const std::vector<std::string>& args,
                      const ProcessIo& io) {
  Process process = StartProcess(program, args, io);
  return FinishProcess(process);
}

const char* HostPath() { return VELMORA_HOST_PATH; }

Process StartHost(const std::vector<std::string>& args, const ProcessIo& io) {
  return StartProcess(HostPath(), args, io);
}

ProcessRun RunHost(const std::vector<std::string>& args, const ProcessIo& io) {
  return RunProcess(HostPath(), args, io);
}

std::string PrintableFault(std::string_view text, size_t width) {
  size_t column = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char u = static_cast<unsigned char>(text[i]);
    if (u == '\n') {
      column = 0;
      continue;
    }
    if (u < 0x20 || u == 0x7F) {
      return "raw control byte " + std::to_string(u) + " at byte " + std::to_string(i);
    }
    column += (u & 0xC0) != 0x80;
    if (column > width) return "a line wider than " + std::to_string(width);
  }
  return "";
}

}  // namespace velmora::testing
