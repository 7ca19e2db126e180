// The .part files of get: the one place that decides which name a download
// takes, claims its NAME.part (held with flock while it is written, so no
// other job or velmora-host writes the same file), keeps beside it the record
// of what it is downloading, and renames it to NAME when it is whole.
//
// A .part is taken up again only when it is provably the same resource: its
// record names the same link and holds a validator the server can check
// (If-Range). Any other .part, and any file, is left as it is; the download
// takes the next free name instead.
#ifndef VELMORA_HOST_DOWNLOAD_PART_FILE_H_
#define VELMORA_HOST_DOWNLOAD_PART_FILE_H_

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "host/io/safe_files.h"

namespace velmora::host {

// Every final name and .part name a run has claimed: a name held by the run
// is never taken by another of its downloads, whatever --overwrite says, and
// stays held until the run ends. Shared by every job, under its own lock.
class DownloadNames {
 public:
  // Holds name and its .part for this run; false when the run holds either.
  bool Claim(const std::string& name);
  bool Holds(const std::string& name);

 private:
  std::mutex mutex_;
  std::set<std::string> names_;  // letter case folded: a Windows share tells no case apart
};

// What a .part is downloading, kept in its record (RecordName) from before
// its first byte on.
struct PartRecord {
  std::string link;          // the link the user gave (the file page)
  std::string directLink;    // the plugin's
  std::string finalUrl;      // after redirects
  std::string etag;          // as the server sent it, quotes and all
  std::string lastModified;  // as sent
  int64_t total = -1;        // the whole file's bytes; -1: not said

  // The value for If-Range: the strong ETag, else Last-Modified; empty when
  // the server gave neither, and so no way to prove a resumed .part is its.
  std::string Validator() const;
  std::string Text() const;
  // Empty (no link) unless text is a record of this format.
  static PartRecord Parse(std::string_view text);
};

// ".NAME.part.velmora": hidden beside NAME.part, and never a saved file's
// name (a saved name never starts with a dot).
std::string RecordName(const std::string& name);

// True when kept (a .part's record) and now (the server's answer) are the
// same resource as far as now tells: the same link, a validator kept, and
// no validator or size of now that says otherwise.
bool SameResource(const PartRecord& kept, const PartRecord& now);

struct PartFile {
  std::string base;  // the name as proposed, made safe
  int number = 0;    // name is NumberedName(base, number)
  std::string name;
  UniqueFd fd;
  bool created = false;  // made by this download, with its record: it may be emptied
  uint64_t size = 0;     // bytes in it
  PartRecord record;     // as written beside it (created) or found there (resumed)
  std::string partName() const;
};

struct ClaimRules {
  bool overwrite = false;  // a file of an earlier run called NAME may be replaced
  bool resume = false;     // a NAME.part of the same resource may be gone on with
};

// Opens the .part of the first name of base that the run does not hold and
// may use: one whose file does not exist (or, with overwrite, is an earlier
// run's) and whose .part is new, created with now as its record; or, with
// resume, whose .part is free, not empty and SameResource with now. The name is held
// for the run. Throws FileError when every name is taken or a .part cannot
// be made.
PartFile ClaimPart(int folder, const std::string& base, const PartRecord& now,
                   const ClaimRules& rules, DownloadNames& names);

// Writes part's record anew (a .part this download created, started over).
void RewriteRecord(int folder, PartFile& part, const PartRecord& now);

// Removes a .part this download created, and its record.
void RemovePart(int folder, const PartFile& part);

// Renames the whole .part to its name, or with overwrite over an earlier
// run's file of that name, and removes its record; a name taken meanwhile
// gives the next number the run does not hold. Returns the name.
std::string Publish(int folder, const PartFile& part, bool overwrite, DownloadNames& names);

}  // namespace velmora::host

#endif  // VELMORA_HOST_DOWNLOAD_PART_FILE_H_
