// The links of a run: URL arguments, checked before anything starts, and
// batch input (files, or "-" for stdin), one URL a line.
#ifndef VELMORA_HOST_CLI_BATCH_INPUT_H_
#define VELMORA_HOST_CLI_BATCH_INPUT_H_

#include <istream>
#include <string>
#include <vector>

#include "host/run/link_runner.h"

namespace velmora::host {

struct Batch {
  std::vector<LinkItem> items;
  bool fromInput = false;  // stdin or a batch file: output is always per line
};

// Appends the links of in: a UTF-8 byte-order mark at its start, blank
// lines and "#" comments are skipped, surrounding blanks ignored; a line
// that is no http or https URL comes as a bad item with its line number.
void ReadBatchLines(std::istream& in, Batch& batch);

// URL arguments ("-" for the lines of stdin) and batch files ("-" too).
// Returns 0, or the exit code of a usage error or an unreadable file,
// having said why.
int CollectUrls(const std::vector<std::string>& arguments,
                const std::vector<std::string>& batchFiles, Batch& batch);

}  // namespace velmora::host

#endif  // VELMORA_HOST_CLI_BATCH_INPUT_H_
