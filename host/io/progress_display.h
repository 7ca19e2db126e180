// The live display of a batch on a terminal: a bar for the batch, and a
// line per running file with its bytes, percentage, rate and time left.
// (Debian packages no C++ progress library; this one is small.)
#ifndef VELMORA_HOST_IO_PROGRESS_DISPLAY_H_
#define VELMORA_HOST_IO_PROGRESS_DISPLAY_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace velmora::host {

// Thread-safe: jobs report, the batch's own thread draws, through the
// stderr writer's status area (io/diagnostics.h). When not enabled
// (no terminal, --quiet) every call does nothing. Labels may hold site
// bytes: they are shown through Shown().
class ProgressDisplay {
 public:
  // total: the number of links, when known (a batch is read as it runs);
  // without it the display counts the links done, with no bar.
  ProgressDisplay(bool enabled, std::optional<size_t> total, std::string noun);
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  bool enabled() const { return enabled_; }
  void SetDone(size_t done);
  void SetRunning(size_t running);
  // A running file; its line shows label until Name gives the file's name.
  size_t Begin(const std::string& label);
  void Name(size_t slot, const std::string& name);
  // bytes: in the file so far; total: expected in all, or -1.
  void Moved(size_t slot, uint64_t bytes, int64_t total);
  void End(size_t slot);
  // Redraws what changed since the last drawing; call it a few times a second.
  void Draw();
  // Takes the display off the screen, for other output; the next Draw
  // brings it back.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  struct File {
    std::string label;
    uint64_t bytes = 0;
    uint64_t startBytes = 0;  // a resumed file starts with some
    int64_t total = -1;
    bool started = false;
    Clock::time_point start;
  };

  bool enabled_;
  std::optional<size_t> total_;
  std::string noun_;
  std::mutex lock_;
  size_t done_ = 0;
  size_t running_ = 0;
  size_t nextSlot_ = 0;
  std::map<size_t, File> files_;
  size_t linesShown_ = 0;  // lines of the last drawing; 0 after Clear
  bool changed_ = true;
  Clock::time_point lastDraw_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_IO_PROGRESS_DISPLAY_H_
