// --failed-to FILE: the links of a run that did not succeed, as a batch
// file that -a reads back. Each comes in input order, after a comment line
// saying what became of it; links a signal kept the run from reaching come
// too. The file is written whole or not at all: the lines go to a new
// FILE.tmp-XXXXXX beside it, which takes FILE's place at the end.
#ifndef VELMORA_HOST_RUN_FAILED_LINKS_H_
#define VELMORA_HOST_RUN_FAILED_LINKS_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "host/io/safe_files.h"
#include "host/run/link_report.h"

namespace velmora::host {

struct LinkItem;

// The lines for one link: "# comment" and the link. A link holding a
// control byte (NUL, CR, a line end ...) cannot stand as a line that -a
// reads back the same: it is then shown in the comment only, escaped.
std::string FailedEntry(std::string_view link, std::string_view comment);

class FailedLinks {
 public:
  // Why path cannot take the file (its folder missing, a folder in its
  // place), or "".
  static std::string Check(const std::string& path);

  // Creates the temporary file beside path. Throws FileError.
  explicit FailedLinks(const std::string& path);
  // Removes the temporary file unless it took path's place.
  ~FailedLinks();
  FailedLinks(const FailedLinks&) = delete;
  FailedLinks& operator=(const FailedLinks&) = delete;

  // The link of item as its report left it: kept unless it succeeded.
  void Add(const LinkItem& item, const LinkReport& report);
  // A link the run never reached, and why ("interrupted by SIGINT").
  void AddNotReached(const LinkItem& item, std::string_view why);
  // Puts the file in path's place; "" or why it could not be (path is
  // then as it was).
  std::string Commit();

  const std::string& path() const { return path_; }
  size_t count() const { return count_; }

 private:
  void Write(const std::string& lines);
  std::string path_;
  FileInFolder file_;
  std::string tempName_;
  UniqueFd temp_;
  size_t count_ = 0;
  std::string error_;  // the first write that failed
  bool committed_ = false;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_RUN_FAILED_LINKS_H_
