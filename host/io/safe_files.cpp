#include "host/io/safe_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace velmora::host {
namespace {

std::string Why(int error) { return std::strerror(error); }

// Refuses whatever is not a regular file with this one name.
void CheckRegular(int fd, const std::string& name) {
  struct stat info {};
  if (fstat(fd, &info) != 0) throw FileError("cannot examine " + name + ": " + Why(errno));
  if (!S_ISREG(info.st_mode)) throw FileError(name + " is not a regular file");
  if (info.st_nlink > 1) throw FileError(name + " has other names (hard links)");
}

// Opens without waiting on a pipe, then blocks as usual.
void ClearNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

std::string OpenFailure(const std::string& name, int error) {
  if (error == ELOOP) return name + " is a symbolic link, which is not followed";
  return "cannot open " + name + ": " + Why(error);
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

bool IsBareName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

UniqueFd OpenFolder(const std::string& path, bool create, bool* created) {
  if (created != nullptr) *created = false;
  if (create) {
    std::error_code error;
    const bool made = std::filesystem::create_directories(path, error);
    if (error) throw FileError("cannot create the folder " + path + ": " + error.message());
    if (created != nullptr) *created = made;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOTDIR) throw FileError(path + " is not a folder");
    throw FileError("cannot open the folder " + path + ": " + Why(error));
  }
  return UniqueFd(fd);
}

FileInFolder OpenFolderOf(const std::string& path) {
  const std::filesystem::path given(path);
  const std::string name = given.filename().string();
  if (!IsBareName(name)) throw FileError(path + " is a folder, not a file");
  const std::string folder = given.parent_path().empty() ? "." : given.parent_path().string();
  return {OpenFolder(folder, false), name};
}

bool FolderIsEmpty(int folder) {
  const int copy = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) throw FileError("cannot list the folder: " + Why(errno));
  DIR* listing = fdopendir(copy);
  if (listing == nullptr) {
    close(copy);
    throw FileError("cannot list the folder: " + Why(errno));
  }
  bool empty = true;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(listing);
  return empty;
}

UniqueFd CreateNewFile(int folder, const std::string& name) {
  if (!IsBareName(name)) throw FileError("\"" + name + "\" is not a plain file name");
  const int fd =
      openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    if (error == EEXIST) throw FileError(name + " exists already");
    throw FileError("cannot create " + name + ": " + Why(error));
  }
  return UniqueFd(fd);
}

UniqueFd ReplaceFile(int folder, const std::string& name) {
  if (!IsBareName(name)) throw FileError("\"" + name + "\" is not a plain file name");
  const int fd =
      openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) throw FileError(OpenFailure(name, errno));
  UniqueFd file(fd);
  CheckRegular(fd, name);
  ClearNonBlocking(fd);
  if (ftruncate(fd, 0) != 0) throw FileError("cannot empty " + name + ": " + Why(errno));
  return file;
}

UniqueFd OpenRegularFile(int folder, const std::string& name, size_t maxBytes, size_t* size) {
  if (!IsBareName(name)) throw FileError("\"" + name + "\" is not a plain file name");
  const int fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw FileError(OpenFailure(name, errno));
  UniqueFd file(fd);
  CheckRegular(fd, name);
  ClearNonBlocking(fd);
  struct stat info {};
  fstat(fd, &info);
  if (static_cast<unsigned long long>(info.st_size) > maxBytes) {
    throw FileError(name + " is larger than the limit of " + std::to_string(maxBytes) + " bytes");
  }
  if (size != nullptr) *size = static_cast<size_t>(info.st_size);
  return file;
}

void WriteAll(int fd, std::string_view bytes, const std::string& what) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw FileError("cannot write " + what + ": " + Why(errno));
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

std::string ReadAll(int fd, size_t maxBytes, const std::string& what) {
  std::string text;
  char buffer[65536];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw FileError("cannot read " + what + ": " + Why(errno));
    }
    if (got == 0) return text;
    if (text.size() + static_cast<size_t>(got) > maxBytes) {
      throw FileError(what + " is larger than the limit of " + std::to_string(maxBytes) + " bytes");
    }
    text.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace velmora::host
