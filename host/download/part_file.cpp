#include "host/download/part_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/download/file_naming.h"

namespace velmora::host {
namespace {

std::string Why(int error) { return std::strerror(error); }

// Whatever is there (a link too) counts; so does what cannot be examined.
bool Exists(int folder, const std::string& name) {
  struct stat info {};
  return fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

}  // namespace

std::string PartFile::partName() const { return name + std::string(kPartSuffix); }

PartFile ClaimPart(int folder, const std::string& base, const ClaimRules& rules) {
  for (int n = 0; n < kMaxNumber; ++n) {
    PartFile part;
    part.base = base;
    part.number = n;
    part.name = NumberedName(base, n);
    const std::string partName = part.partName();
    if (!rules.overwrite && Exists(folder, part.name)) continue;
    int fd =
        openat(folder, partName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      part.fd = UniqueFd(fd);
      part.created = true;
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) continue;  // a --continue elsewhere took it at once
      return part;
    }
    if (errno != EEXIST) throw FileError("cannot create " + partName + ": " + Why(errno));
    if (!rules.resume && !rules.overwrite) continue;  // an earlier .part stays as it is
    fd = openat(folder, partName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;  // a link, or nothing we may open
    part.fd = UniqueFd(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) continue;  // another job or program writes it
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (rules.resume) {
      part.size = static_cast<uint64_t>(info.st_size);
    } else if (ftruncate(fd, 0) != 0) {
      throw FileError("cannot empty " + partName + ": " + Why(errno));
    }
    return part;
  }
  throw FileError("every name from " + base + " to " + NumberedName(base, kMaxNumber - 1) +
                  " is taken");
}

std::string Publish(int folder, const PartFile& part, bool overwrite) {
  const std::string from = part.partName();
  for (int n = part.number; n < kMaxNumber; ++n) {
    const std::string name = NumberedName(part.base, n);
    if (overwrite && n == part.number) {
      if (renameat(folder, from.c_str(), folder, name.c_str()) == 0) return name;
      throw FileError("cannot rename " + from + " to " + name + ": " + Why(errno));
    }
    if (n != part.number && Exists(folder, name + std::string(kPartSuffix))) continue;  // another's
    if (renameat2(folder, from.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) return name;
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) {
      throw FileError("cannot rename " + from + " to " + name + ": " + Why(errno));
    }
    // A file system without RENAME_NOREPLACE: a new link refuses a taken name too.
    if (linkat(folder, from.c_str(), folder, name.c_str(), 0) == 0) {
      unlinkat(folder, from.c_str(), 0);
      return name;
    }
    if (errno == EEXIST) continue;
    throw FileError("cannot rename " + from + " to " + name + ": " + Why(errno));
  }
  throw FileError("every name from " + part.name + " on is taken");
}

}  // namespace velmora::host
