#include "host/run/archive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::host {
namespace {

std::string Why(int error) { return std::strerror(error); }

// Refuses what is no regular file of this one name: a folder, a device, a
// pipe, a file with hard links (adding to it would change the other names).
void CheckArchiveFile(int fd, const std::string& path) {
  struct stat info {};
  if (fstat(fd, &info) != 0) throw FileError("cannot examine " + path + ": " + Why(errno));
  if (S_ISDIR(info.st_mode)) throw FileError(path + " is a folder, not a file");
  if (!S_ISREG(info.st_mode)) throw FileError(path + " is not a regular file");
  if (info.st_nlink > 1) throw FileError(path + " has other names (hard links)");
}

std::string OpenFailure(const std::string& path, int error) {
  if (error == ELOOP) return path + " is a symbolic link, which is not followed";
  return "cannot open " + path + ": " + Why(error);
}

}  // namespace

std::string_view TrimBlanks(std::string_view link) {
  const size_t first = link.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = link.find_last_not_of(" \t\r");
  return link.substr(first, last - first + 1);
}

void ArchiveReader::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    const std::string_view part = bytes.substr(0, end);
    if (!tooLong_ && pending_.size() + part.size() > kMaxLine) {
      tooLong_ = true;
      pending_.clear();
    }
    if (!tooLong_) pending_.append(part);
    if (end == std::string_view::npos) return;
    TakeLine();
    bytes.remove_prefix(end + 1);
  }
}

void ArchiveReader::TakeLine() {
  std::string_view line = pending_;
  if (first_ && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
  first_ = false;
  line = TrimBlanks(line);
  if (!tooLong_ && !line.empty() && line[0] != '#') links_.emplace(line);
  pending_.clear();
  tooLong_ = false;
}

Archive::Archive(const std::string& path) : path_(path) {
  FileInFolder file = OpenFolderOf(path);
  folder_ = std::move(file.folder);
  name_ = std::move(file.name);
  const int fd =
      openat(folder_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return;
    throw FileError(OpenFailure(path, errno));
  }
  UniqueFd archive(fd);
  CheckArchiveFile(fd, path);
  ArchiveReader reader;
  char buffer[65536];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw FileError("cannot read " + path + ": " + Why(errno));
    }
    if (got == 0) break;
    reader.Feed(std::string_view(buffer, static_cast<size_t>(got)));
  }
  links_ = std::move(reader.links());
}

bool Archive::Contains(std::string_view link) const {
  return links_.count(std::string(TrimBlanks(link))) > 0;
}

std::string Archive::Add(const std::string& link) {
  const std::string trimmed(TrimBlanks(link));
  if (trimmed.empty() || trimmed.find_first_of(std::string_view("\n\r\0", 3)) != trimmed.npos) {
    return "the link is no line of its own";
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!added_.insert(trimmed).second) return {};
  }
  const std::string why = AppendLine(trimmed + "\n");
  if (!why.empty()) {
    std::lock_guard<std::mutex> guard(lock_);
    added_.erase(trimmed);
  }
  return why;
}

std::string Archive::AppendLine(std::string line) {
  const int fd = openat(folder_.get(), name_.c_str(),
                        O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return OpenFailure(path_, errno);
  UniqueFd archive(fd);
  try {
    CheckArchiveFile(fd, path_);
  } catch (const FileError& error) {
    return error.what();
  }
  // Held until the descriptor closes; another run waits here.
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return "cannot lock " + path_ + ": " + Why(errno);
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) return "cannot examine " + path_ + ": " + Why(errno);
  char last = '\n';
  if (info.st_size > 0 && pread(fd, &last, 1, info.st_size - 1) != 1) {
    return "cannot read " + path_ + ": " + Why(errno);
  }
  // A line a crash tore stays apart from this one.
  if (last != '\n') line.insert(0, "\n");
  ssize_t written;
  do {
    written = write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(line.size())) return {};
  const std::string why = written < 0 ? Why(errno) : "the disk took only part of the line";
  // Under the lock nobody else has written since: what this write left goes.
  if (written > 0 && ftruncate(fd, info.st_size) != 0) {
    return "cannot write " + path_ + ": " + why + "; a torn line is left at its end";
  }
  return "cannot write " + path_ + ": " + why;
}

}  // namespace velmora::host
