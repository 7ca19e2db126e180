#include "host/download/part_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "host/download/file_naming.h"
#include "host/io/terminal_text.h"

namespace velmora::host {
namespace {

constexpr std::string_view kRecordFormat = "velmora-part 1";
constexpr std::string_view kRecordSuffix = ".velmora";
constexpr size_t kMaxRecordBytes = 16 * 1024;

std::string Why(int error) { return std::strerror(error); }

// Whatever is there (a link too) counts; so does what cannot be examined.
bool Exists(int folder, const std::string& name) {
  struct stat info {};
  return fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

std::string Folded(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

// A value fit for one line of a record: none of CR, LF, NUL.
std::string OneLine(const std::string& value) {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos ? value : "";
}

// The record beside name's .part; no link when there is none, or none that
// can be read as one.
PartRecord ReadRecord(int folder, const std::string& name) {
  try {
    size_t size = 0;
    const std::string recordName = RecordName(name);
    const UniqueFd fd = OpenRegularFile(folder, recordName, kMaxRecordBytes, &size);
    return PartRecord::Parse(ReadAll(fd.get(), kMaxRecordBytes, recordName));
  } catch (const FileError&) {
    return {};
  }
}

void WriteRecord(const UniqueFd& fd, const PartRecord& record, const std::string& recordName) {
  WriteAll(fd.get(), record.Text(), recordName);
}

}  // namespace

bool DownloadNames::Claim(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string folded = Folded(name);
  if (names_.count(folded) != 0 || names_.count(folded + std::string(kPartSuffix)) != 0) {
    return false;
  }
  names_.insert(folded);
  names_.insert(folded + std::string(kPartSuffix));
  return true;
}

bool DownloadNames::Holds(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return names_.count(Folded(name)) != 0;
}

std::string PartRecord::Validator() const {
  if (!etag.empty() && etag.rfind("W/", 0) != 0) return etag;
  return lastModified;
}

std::string PartRecord::Text() const {
  return std::string(kRecordFormat) + "\nlink " + LinkText(link) + "\ndirect " +
         LinkText(directLink) + "\nfinal " + LinkText(finalUrl) + "\netag " + OneLine(etag) +
         "\nlast-modified " + OneLine(lastModified) + "\nsize " +
         (total >= 0 ? std::to_string(total) : "-") + "\n";
}

PartRecord PartRecord::Parse(std::string_view text) {
  PartRecord record;
  const size_t firstEnd = text.find('\n');
  if (text.substr(0, firstEnd) != kRecordFormat || firstEnd == std::string_view::npos) return {};
  text.remove_prefix(firstEnd + 1);
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, space);
    const std::string value(line.substr(space + 1));
    if (key == "link") record.link = value;
    if (key == "direct") record.directLink = value;
    if (key == "final") record.finalUrl = value;
    if (key == "etag") record.etag = value;
    if (key == "last-modified") record.lastModified = value;
    if (key == "size") {
      int64_t total = -1;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), total);
      record.total = error == std::errc() && end == value.data() + value.size() ? total : -1;
    }
  }
  return record;
}

std::string RecordName(const std::string& name) {
  return "." + name + std::string(kPartSuffix) + std::string(kRecordSuffix);
}

bool SameResource(const PartRecord& kept, const PartRecord& now) {
  if (kept.link.empty() || LinkText(kept.link) != LinkText(now.link)) return false;
  if (kept.Validator().empty()) return false;
  if (!kept.etag.empty() && !now.etag.empty() && kept.etag != now.etag) return false;
  if (!kept.lastModified.empty() && !now.lastModified.empty() &&
      kept.lastModified != now.lastModified) {
    return false;
  }
  return kept.total < 0 || now.total < 0 || kept.total == now.total;
}

std::string PartFile::partName() const { return name + std::string(kPartSuffix); }

PartFile ClaimPart(int folder, const std::string& base, const PartRecord& now,
                   const ClaimRules& rules, DownloadNames& names) {
  for (int n = 0; n < kMaxNumber; ++n) {
    PartFile part;
    part.base = base;
    part.number = n;
    part.name = NumberedName(base, n);
    const std::string partName = part.partName();
    const std::string recordName = RecordName(part.name);
    if (!rules.overwrite && Exists(folder, part.name)) continue;
    // Held from here on, also when it proves unusable: whatever stands there
    // stays for the whole run.
    if (!names.Claim(part.name)) continue;
    if (!Exists(folder, recordName)) {  // a record without its .part is another's
      int fd = openat(folder, partName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0644);
      if (fd >= 0) {
        part.fd = UniqueFd(fd);
        part.created = true;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) continue;  // a --continue elsewhere took it at once
        try {
          WriteRecord(CreateNewFile(folder, recordName), now, recordName);
        } catch (const FileError&) {
          RemovePart(folder, part);
          throw;
        }
        part.record = now;
        return part;
      }
      if (errno != EEXIST) throw FileError("cannot create " + partName + ": " + Why(errno));
    }
    if (!rules.resume) continue;  // an earlier .part stays as it is
    const int fd = openat(folder, partName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;  // a link, or nothing we may open
    part.fd = UniqueFd(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) continue;
    if (info.st_size == 0) continue;  // nothing to go on with: a name of its own is as good
    const PartRecord kept = ReadRecord(folder, part.name);
    if (!SameResource(kept, now)) continue;           // another resource's, or unproven
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) continue;  // another program writes it
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    part.size = static_cast<uint64_t>(info.st_size);
    part.record = kept;
    return part;
  }
  throw FileError("every name from " + base + " to " + NumberedName(base, kMaxNumber - 1) +
                  " is taken");
}

void RewriteRecord(int folder, PartFile& part, const PartRecord& now) {
  const std::string recordName = RecordName(part.name);
  WriteRecord(ReplaceFile(folder, recordName), now, recordName);
  part.record = now;
}

void RemovePart(int folder, const PartFile& part) {
  unlinkat(folder, part.partName().c_str(), 0);
  unlinkat(folder, RecordName(part.name).c_str(), 0);
}

std::string Publish(int folder, const PartFile& part, bool overwrite, DownloadNames& names) {
  const std::string from = part.partName();
  const auto published = [&](const std::string& name) {
    unlinkat(folder, RecordName(part.name).c_str(), 0);
    return name;
  };
  for (int n = part.number; n < kMaxNumber; ++n) {
    const std::string name = NumberedName(part.base, n);
    if (overwrite && n == part.number) {
      if (renameat(folder, from.c_str(), folder, name.c_str()) == 0) return published(name);
      throw FileError("cannot rename " + from + " to " + name + ": " + Why(errno));
    }
    if (n != part.number) {
      if (!names.Claim(name)) continue;  // another download of this run's
      if (Exists(folder, name + std::string(kPartSuffix))) continue;  // another's
    }
    if (renameat2(folder, from.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0) {
      return published(name);
    }
    if (errno == EEXIST) continue;
    if (errno != EINVAL && errno != ENOSYS) {
      throw FileError("cannot rename " + from + " to " + name + ": " + Why(errno));
    }
    // A file system without RENAME_NOREPLACE: a new link refuses a taken name too.
    if (linkat(folder, from.c_str(), folder, name.c_str(), 0) == 0) {
      unlinkat(folder, from.c_str(), 0);
      return published(name);
    }
    if (errno == EEXIST) continue;
    throw FileError("cannot rename " + from + " to " + name + ": " + Why(errno));
  }
  throw FileError("every name from " + part.name + " on is taken");
}

}  // namespace velmora::host
