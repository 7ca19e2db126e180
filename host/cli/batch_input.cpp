#include "host/cli/batch_input.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "host/cli/exit_codes.h"
#include "host/cli/interrupt.h"
#include "host/io/diagnostics.h"
#include "host/net/web_url.h"

namespace velmora::host {

void ReadBatchLines(std::istream& in, Batch& batch) {
  batch.fromInput = true;
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    // Notepad starts a UTF-8 file with a byte-order mark: no part of its first line.
    if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    const size_t last = line.find_last_not_of(" \t\r");
    LinkItem item{number, line.substr(first, last - first + 1), {}};
    std::string why;
    if (!IsWebUrl(item.url, why)) item.bad = why;
    batch.items.push_back(std::move(item));
  }
}

int CollectUrls(const std::vector<std::string>& arguments,
                const std::vector<std::string>& batchFiles, Batch& batch) {
  if (arguments.empty() && batchFiles.empty()) {
    Say("this command needs a URL, or -a FILE; see its --help.");
    return kExitUsage;
  }
  bool stdinRead = false;
  auto readStdin = [&] {
    if (!stdinRead) ReadBatchLines(std::cin, batch);
    stdinRead = true;
  };
  for (const std::string& argument : arguments) {
    if (argument == "-") {
      readStdin();
      continue;
    }
    std::string why;
    if (!IsWebUrl(argument, why)) {
      Say("\"" + argument + "\" is not an http or https URL (" + why +
          "); give links like http://host/path.");
      return kExitUsage;
    }
    batch.items.push_back({0, argument, {}});
  }
  for (const std::string& file : batchFiles) {
    if (file == "-") {
      readStdin();
      continue;
    }
    struct stat info {};
    if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      Say("cannot read the batch file " + file + ": it is a folder.");
      return kExitNoInput;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      Say("cannot read the batch file " + file + ": " + std::strerror(errno) + ".");
      return kExitNoInput;
    }
    ReadBatchLines(in, batch);
  }
  if (InterruptSignal() != 0) return 128 + InterruptSignal();
  if (batch.items.empty()) {
    Say("no URL to resolve was given.");
    return kExitUsage;
  }
  return 0;
}

}  // namespace velmora::host
