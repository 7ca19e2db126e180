#include "host/cli/batch_input.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <streambuf>

#include "host/cli/exit_codes.h"
#include "host/cli/interrupt.h"
#include "host/io/diagnostics.h"
#include "host/net/web_url.h"

namespace velmora::host {

bool BatchLines::Next(LinkItem& item) {
  while (std::getline(*in_, line_)) {
    ++number_;
    // Notepad starts a UTF-8 file with a byte-order mark: no part of its first line.
    if (number_ == 1 && line_.rfind("\xEF\xBB\xBF", 0) == 0) line_.erase(0, 3);
    const size_t first = line_.find_first_not_of(" \t\r");
    if (first == std::string::npos || line_[first] == '#') continue;
    const size_t last = line_.find_last_not_of(" \t\r");
    item = {number_, line_.substr(first, last - first + 1), {}};
    std::string why;
    if (!IsWebUrl(item.url, why)) item.bad = why;
    return true;
  }
  return false;
}

std::vector<LinkItem> ReadBatchLines(std::istream& in) {
  std::vector<LinkItem> items;
  BatchLines lines(in);
  LinkItem item;
  while (lines.Next(item)) items.push_back(std::move(item));
  return items;
}

namespace {

// Stdin for a batch, read straight from the descriptor: a job waiting for
// the next line wakes for a signal (SIGINT may come to any thread, not the
// reading one) and then sees the input's end; and what is already read is
// known (available), for SkipRest.
class StdinBuffer : public std::streambuf {
 public:
  // Whether a byte or the end can be had within a moment.
  bool Ready() {
    if (gptr() < egptr()) return true;
    if (isatty(STDIN_FILENO) != 0) return false;
    pollfd wanted{STDIN_FILENO, POLLIN, 0};
    return poll(&wanted, 1, 100) == 1;
  }

 protected:
  int_type underflow() override {
    while (true) {
      // After a signal, only what can be read at once.
      const bool interrupted = InterruptSignal() != 0;
      pollfd wanted{STDIN_FILENO, POLLIN, 0};
      const int ready = poll(&wanted, 1, interrupted ? 0 : 100);
      if (ready == 0 && interrupted) break;
      if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
      if (ready < 0) return traits_type::eof();
      const ssize_t got = read(STDIN_FILENO, buffer_, sizeof buffer_);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) return traits_type::eof();
      setg(buffer_, buffer_, buffer_ + got);
      return traits_type::to_int_type(buffer_[0]);
    }
    cut_ = true;
    return traits_type::eof();
  }

 public:
  // Whether the input ended for a signal, not at its end.
  bool cut() const { return cut_; }

 private:
  bool cut_ = false;
  char buffer_[64 * 1024];
};

StdinBuffer& StdinBuf() {
  static StdinBuffer buffer;
  return buffer;
}

std::istream& StdinStream() {
  static std::istream in(&StdinBuf());
  return in;
}

}  // namespace

bool Batch::ReadOne(bool promptOnly) {
  while (part_ < parts_.size()) {
    Part& part = parts_[part_];
    if (part.in == nullptr) {
      ahead_.push_back({0, std::move(part.url), {}});
      ++part_;
      return true;
    }
    if (promptOnly && part.own == nullptr && !StdinBuf().Ready()) {
      unsure_ = true;
      return false;
    }
    if (!lines_) lines_.emplace(*part.in);
    LinkItem item;
    if (lines_->Next(item)) {
      ahead_.push_back(std::move(item));
      return true;
    }
    if (part.own == nullptr && StdinBuf().cut()) {
      unsure_ = true;  // stdin cut short by a signal, not at its end
      return false;
    }
    lines_.reset();
    part.own.reset();  // a file read to its end is closed
    ++part_;
  }
  return false;
}

bool Batch::Next(LinkItem& item) {
  if (ahead_.empty() && !ReadOne()) return false;
  item = std::move(ahead_.front());
  ahead_.pop_front();
  ++given_;
  return true;
}

std::optional<size_t> Batch::Total() const {
  size_t total = given_ + ahead_.size();
  for (size_t i = part_; i < parts_.size(); ++i) {
    if (parts_[i].in != nullptr) return std::nullopt;  // lines not read yet
    ++total;
  }
  return total;
}

std::optional<size_t> Batch::SkipRest(const std::function<void(const LinkItem&)>& each) {
  unsure_ = false;
  size_t rest = 0;
  do {
    for (const LinkItem& item : ahead_) {
      if (each) each(item);
      ++rest;
    }
    ahead_.clear();
  } while (ReadOne(true));
  given_ += rest;
  if (unsure_) return std::nullopt;
  return rest;
}

size_t Batch::Ahead(size_t n, bool wait) {
  unsure_ = false;
  while (ahead_.size() < n && ReadOne(!wait)) {
  }
  return unsure_ ? n : std::min(n, ahead_.size());
}

int CollectUrls(const std::vector<std::string>& arguments,
                const std::vector<std::string>& batchFiles, Batch& batch) {
  if (arguments.empty() && batchFiles.empty()) {
    Say("this command needs a URL, or -a FILE; see its --help.");
    return kExitUsage;
  }
  bool stdinTaken = false;
  auto addStdin = [&] {
    batch.fromInput = true;
    if (!stdinTaken) batch.parts_.push_back({{}, &StdinStream(), nullptr});
    stdinTaken = true;
  };
  for (const std::string& argument : arguments) {
    if (argument == "-") {
      addStdin();
      continue;
    }
    std::string why;
    if (!IsWebUrl(argument, why)) {
      Say("\"" + argument + "\" is not an http or https URL (" + why +
          "); give links like http://host/path.");
      return kExitUsage;
    }
    batch.parts_.push_back({argument, nullptr, nullptr});
  }
  for (const std::string& file : batchFiles) {
    if (file == "-") {
      addStdin();
      continue;
    }
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      Say("cannot read the batch file " + file + ": it is a folder.");
      return kExitNoInput;
    }
    auto in = std::make_unique<std::ifstream>(file, std::ios::binary);
    if (!*in) {
      Say("cannot read the batch file " + file + ": " + std::strerror(errno) + ".");
      return kExitNoInput;
    }
    batch.fromInput = true;
    std::istream* stream = in.get();
    batch.parts_.push_back({{}, stream, std::move(in)});
  }
  // The first link read: a batch without any is refused before anything starts.
  const bool any = batch.Ahead(1) > 0;
  if (InterruptSignal() != 0) return 128 + InterruptSignal();
  if (!any) {
    Say("no URL to resolve was given.");
    return kExitUsage;
  }
  return 0;
}

}  // namespace velmora::host
