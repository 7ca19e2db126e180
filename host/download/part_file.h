// The .part files of get: the one place that decides which name a download
// takes, claims its NAME.part (held with flock while it is written, so no
// other job or velmora-host writes the same file) and renames it to NAME
// when it is whole.
#ifndef VELMORA_HOST_DOWNLOAD_PART_FILE_H_
#define VELMORA_HOST_DOWNLOAD_PART_FILE_H_

#include <cstdint>
#include <string>

#include "host/io/safe_files.h"

namespace velmora::host {

struct PartFile {
  std::string base;  // the name as proposed, made safe
  int number = 0;    // name is NumberedName(base, number)
  std::string name;
  UniqueFd fd;
  bool created = false;  // made by this download
  uint64_t size = 0;     // bytes in it
  std::string partName() const;
};

struct ClaimRules {
  bool overwrite = false;  // a file called NAME may be replaced
  bool resume = false;     // an earlier NAME.part may be gone on with
};

// Opens the .part of the first name of base that may be used: one whose
// file does not exist (or may be replaced) and whose .part is new, or left
// by an earlier run and free (resume goes on with it, overwrite empties it).
// Throws FileError when every name is taken or a .part cannot be made.
PartFile ClaimPart(int folder, const std::string& base, const ClaimRules& rules);

// Renames the whole .part to its name, or with overwrite over a file of that
// name; a name taken meanwhile gives the next number. Returns the name.
std::string Publish(int folder, const PartFile& part, bool overwrite);

}  // namespace velmora::host

#endif  // VELMORA_HOST_DOWNLOAD_PART_FILE_H_
