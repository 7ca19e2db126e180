// get --archive FILE: the links whose files were saved whole, one a line.
// A link in it is not resolved again; a link whose file is saved is added
// as soon as the file has its final name. Several runs (and every job of
// one) may add to the same file at once: each line goes in one write under
// an exclusive lock, so lines never tear or mix.
#ifndef VELMORA_HOST_RUN_ARCHIVE_H_
#define VELMORA_HOST_RUN_ARCHIVE_H_

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

#include "host/io/safe_files.h"

namespace velmora::host {

// Takes the links of an archive's bytes, fed from its start in pieces of
// any size: a line counts once its line end has come (a torn last line, as
// a crash leaves, is not one), surrounding blanks (space, tab, CR) are
// ignored, as are blank lines, "#" comments, a UTF-8 byte-order mark at the
// start and lines longer than any link.
class ArchiveReader {
 public:
  static constexpr size_t kMaxLine = 64 * 1024;
  void Feed(std::string_view bytes);
  std::unordered_set<std::string>& links() { return links_; }

 private:
  void TakeLine();
  std::unordered_set<std::string> links_;
  std::string pending_;
  bool tooLong_ = false;
  bool first_ = true;
};

class Archive {
 public:
  // Reads the archive at path (a missing one is empty; it is created with
  // the first link added). Its folder is the user's, so a link in the
  // folder's path is followed; the file itself must be a regular file with
  // no other names. Throws FileError saying why it cannot be used.
  explicit Archive(const std::string& path);

  const std::string& path() const { return path_; }
  // link as given, blanks around it trimmed.
  bool Contains(std::string_view link) const;
  // Appends link as one line (once a run); "" when it is in the file, else
  // why not (the file then holds nothing of it). Safe from any thread.
  std::string Add(const std::string& link);

 private:
  std::string AppendLine(std::string line);
  std::string path_;
  std::string name_;
  UniqueFd folder_;
  std::unordered_set<std::string> links_;
  std::mutex lock_;
  std::unordered_set<std::string> added_;
};

// link without the blanks around it, as the archive compares it.
std::string_view TrimBlanks(std::string_view link);

}  // namespace velmora::host

#endif  // VELMORA_HOST_RUN_ARCHIVE_H_
