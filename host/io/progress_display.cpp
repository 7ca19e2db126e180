#include "host/io/progress_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "host/io/diagnostics.h"
#include "host/io/quantities.h"
#include "host/io/terminal_text.h"

namespace velmora::host {
namespace {

// The first columns of line, counting a UTF-8 sequence as one column.
std::string Fit(const std::string& line, size_t columns) {
  size_t shown = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    if ((c & 0xC0) == 0x80) continue;
    if (shown == columns) return line.substr(0, i);
    ++shown;
  }
  return line;
}

std::string TimeText(double seconds) {
  if (seconds < 0 || seconds > 360000) return "--:--";
  const long total = static_cast<long>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

}  // namespace

ProgressDisplay::ProgressDisplay(bool enabled, std::optional<size_t> total, std::string noun)
    : enabled_(enabled), total_(total), noun_(std::move(noun)) {}

ProgressDisplay::~ProgressDisplay() { Clear(); }

void ProgressDisplay::SetDone(size_t done) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(lock_);
  done_ = done;
  changed_ = true;
}

void ProgressDisplay::SetRunning(size_t running) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(lock_);
  running_ = running;
  changed_ = true;
}

size_t ProgressDisplay::Begin(const std::string& label) {
  if (!enabled_) return 0;
  std::lock_guard<std::mutex> lock(lock_);
  const size_t slot = nextSlot_++;
  files_[slot].label = label;
  changed_ = true;
  return slot;
}

void ProgressDisplay::Name(size_t slot, const std::string& name) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(lock_);
  const auto file = files_.find(slot);
  if (file == files_.end()) return;
  file->second.label = name;
  changed_ = true;
}

void ProgressDisplay::Moved(size_t slot, uint64_t bytes, int64_t total) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(lock_);
  const auto found = files_.find(slot);
  if (found == files_.end()) return;
  File& file = found->second;
  if (!file.started) {
    file.started = true;
    file.start = Clock::now();
    file.startBytes = bytes;
  }
  file.bytes = bytes;
  file.total = total;
  changed_ = true;
}

void ProgressDisplay::End(size_t slot) {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(lock_);
  files_.erase(slot);
  changed_ = true;
}

void ProgressDisplay::Draw() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(lock_);
  const Clock::time_point now = Clock::now();
  // Rates and times move even when no byte does; at most 10 drawings a second.
  if (linesShown_ > 0 &&
      (now - lastDraw_ < std::chrono::milliseconds(100) || (!changed_ && files_.empty()))) {
    return;
  }
  size_t columns = 80, rows = 24;
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    columns = size.ws_col;
    rows = size.ws_row > 2 ? size.ws_row : 2;
  }
  const size_t width = columns > 1 ? columns - 1 : 1;  // no wrap at the last column

  constexpr size_t kBar = 24;
  std::string lines;
  if (total_) {
    const size_t total = *total_;
    const size_t filled = total == 0 ? kBar : std::min(done_, total) * kBar / total;
    lines = "[" + std::string(filled, '#') + std::string(kBar - filled, '.') + "] " +
            std::to_string(done_) + "/" + std::to_string(total) + " " + noun_;
  } else {
    lines = std::to_string(done_) + " " + noun_ + " done";
  }
  if (running_ > 0) lines += ", " + std::to_string(running_) + " running";
  lines = Fit(lines, width);
  size_t count = 1;
  const size_t room = rows - 1;  // lines for files, the bar's line apart
  size_t listed = 0;
  for (const auto& [slot, file] : files_) {
    (void)slot;
    if (listed + 1 == room && files_.size() > room) {
      lines += "\n  ... and " + std::to_string(files_.size() - listed) + " more";
      ++count;
      break;
    }
    std::string line = "  " + Shown(file.label) + "  " + SizeText(file.bytes);
    if (file.total > 0) {
      const uint64_t total = static_cast<uint64_t>(file.total);
      line += " of " + SizeText(total) + "  " +
              std::to_string(file.bytes >= total ? 100 : file.bytes * 100 / total) + "%";
    }
    if (file.started) {
      const double seconds = std::chrono::duration<double>(now - file.start).count();
      const uint64_t moved = file.bytes - file.startBytes;
      line += "  " + RateText(moved, seconds);
      if (file.total > 0 && moved > 0 && seconds > 0) {
        const double left =
            static_cast<double>(static_cast<uint64_t>(file.total) -
                                std::min(static_cast<uint64_t>(file.total), file.bytes)) /
            (static_cast<double>(moved) / seconds);
        line += "  " + TimeText(left) + " left";
      }
    }
    lines += "\n" + Fit(line, width);
    ++count;
    ++listed;
  }
  DrawStatus(lines, count);
  linesShown_ = count;
  changed_ = false;
  lastDraw_ = now;
}

void ProgressDisplay::Clear() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(lock_);
  ClearStatus();
  linesShown_ = 0;
  changed_ = true;
}

}  // namespace velmora::host
