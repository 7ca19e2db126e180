#include "host/run/failed_links.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "host/io/terminal_text.h"
#include "host/run/link_runner.h"

namespace velmora::host {
namespace {

constexpr char kHeader[] =
    "# The links of a velmora-host run that did not succeed, in input order; -a FILE retries "
    "them.\n";

bool HoldsControl(std::string_view text) {
  for (const unsigned char byte : text) {
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

// FILE.tmp- and six letters or digits no file beside it has.
UniqueFd CreateTemporary(int folder, const std::string& name, std::string& tempName) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<size_t> pick(0, sizeof kLetters - 2);
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempName = name + ".tmp-";
    for (int i = 0; i < 6; ++i) tempName += kLetters[pick(random)];
    const int fd = openat(folder, tempName.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EEXIST) throw FileError("cannot create " + tempName + ": " + std::strerror(errno));
  }
  throw FileError("cannot create a new file beside " + name + ": every name tried exists");
}

}  // namespace

std::string FailedEntry(std::string_view link, std::string_view comment) {
  std::string text = "# " + (IsPrintable(comment) ? std::string(comment) : Shown(comment));
  if (HoldsControl(text)) text = "# " + Shown(comment);  // a tab: one line, all printable
  if (HoldsControl(link)) {
    return text + " (a line holding control bytes would not read back as it was: it stays " +
           "out of the list)\n";
  }
  return text + "\n" + std::string(link) + "\n";
}

std::string FailedLinks::Check(const std::string& path) {
  try {
    const FileInFolder file = OpenFolderOf(path);
    struct stat info {};
    if (fstatat(file.folder.get(), file.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(info.st_mode)) {
      return path + " is a folder, not a file";
    }
    if (faccessat(file.folder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
      return "its folder is not writable: " + std::string(std::strerror(errno));
    }
  } catch (const FileError& error) {
    return error.what();
  }
  return {};
}

FailedLinks::FailedLinks(const std::string& path) : path_(path), file_(OpenFolderOf(path)) {
  temp_ = CreateTemporary(file_.folder.get(), file_.name, tempName_);
  Write(kHeader);
}

FailedLinks::~FailedLinks() {
  if (temp_.valid() && !committed_) unlinkat(file_.folder.get(), tempName_.c_str(), 0);
}

void FailedLinks::Add(const LinkItem& item, const LinkReport& report) {
  const Outcome outcome = report.result.outcome;
  if (outcome == Outcome::kLink || outcome == Outcome::kSkipped) return;
  ++count_;
  Write(FailedEntry(item.url,
                    std::string(OutcomeWords(outcome)) + ": " + ReasonSentence(report, true)));
}

void FailedLinks::AddNotReached(const LinkItem& item, std::string_view why) {
  ++count_;
  Write(FailedEntry(item.url, "not reached: " + std::string(why)));
}

void FailedLinks::Write(const std::string& lines) {
  if (!error_.empty()) return;
  try {
    WriteAll(temp_.get(), lines, tempName_);
  } catch (const FileError& error) {
    error_ = error.what();
  }
}

std::string FailedLinks::Commit() {
  if (!error_.empty()) return error_;
  if (fsync(temp_.get()) != 0) return "cannot write " + tempName_ + ": " + std::strerror(errno);
  if (renameat(file_.folder.get(), tempName_.c_str(), file_.folder.get(), file_.name.c_str()) !=
      0) {
    return "cannot put " + tempName_ + " in place of " + file_.name + ": " + std::strerror(errno);
  }
  committed_ = true;
  fsync(file_.folder.get());  // the new name lasts, as far as the folder can tell
  return {};
}

}  // namespace velmora::host
