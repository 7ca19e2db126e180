// The links of a run: URL arguments, checked before anything starts, and
// batch input (files, or "-" for stdin), one URL a line, read as the run
// takes the links, so that a batch of any length takes the same memory.
#ifndef VELMORA_HOST_CLI_BATCH_INPUT_H_
#define VELMORA_HOST_CLI_BATCH_INPUT_H_

#include <cstddef>
#include <deque>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/run/link_runner.h"

namespace velmora::host {

// The links of one batch input, a line at a time: a UTF-8 byte-order mark
// at its start, blank lines and "#" comments are skipped, surrounding
// blanks ignored; a line that is no http or https URL comes as a bad item
// with its line number.
class BatchLines {
 public:
  explicit BatchLines(std::istream& in) : in_(&in) {}
  // The next link of the input; false at its end.
  bool Next(LinkItem& item);

 private:
  std::istream* in_;
  size_t number_ = 0;
  std::string line_;
};

// The links of a run in input order: the URL arguments (with stdin's lines
// where "-" stands), then each batch file. The files are opened by
// CollectUrls, and read only as far as the links are taken.
class Batch : public LinkFeed {
 public:
  bool Next(LinkItem& item) override;
  std::optional<size_t> Total() const override;
  // Files are read to their end; stdin only while it has more at once (not
  // a terminal, a pipe that is not quiet for long).
  std::optional<size_t> SkipRest(const std::function<void(const LinkItem&)>& each) override;
  // Reads on until n links wait to be taken or the input ends; returns how
  // many wait (at most n). Without wait, stdin is read only as far as it
  // has lines at once; when it has none, n (more may come).
  size_t Ahead(size_t n, bool wait = true);

  bool fromInput = false;  // stdin or a batch file: output is always per line

 private:
  friend int CollectUrls(const std::vector<std::string>&, const std::vector<std::string>&, Batch&);
  struct Part {
    std::string url;                    // a URL argument, or
    std::istream* in = nullptr;         // batch input
    std::unique_ptr<std::istream> own;  // a batch file
  };
  // Fills ahead_ by one link; false when the input has no more. With
  // promptOnly, gives up (unsure set) on stdin that has nothing to read now.
  bool ReadOne(bool promptOnly = false);
  bool unsure_ = false;

  std::vector<Part> parts_;
  size_t part_ = 0;  // the one being read
  std::optional<BatchLines> lines_;
  std::deque<LinkItem> ahead_;
  size_t given_ = 0;
};

// The whole of in, for checks of the line reading.
std::vector<LinkItem> ReadBatchLines(std::istream& in);

// URL arguments ("-" for the lines of stdin) and batch files ("-" too).
// Returns 0, or the exit code of a usage error or an unreadable file,
// having said why; every file is opened here, before anything runs.
int CollectUrls(const std::vector<std::string>& arguments,
                const std::vector<std::string>& batchFiles, Batch& batch);

}  // namespace velmora::host

#endif  // VELMORA_HOST_CLI_BATCH_INPUT_H_
