#include "host/download/download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "host/net/curl_share.h"
#include "host/download/file_naming.h"
#include "host/net/http_client.h"
#include "host/cli/interrupt.h"
#include "host/io/progress_display.h"
#include "host/io/safe_files.h"
#include "host/net/web_url.h"

namespace velmora::host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kPartSuffix[] = ".part";
constexpr int kMaxNumber = 10000;   // "NAME (9999).ext" at most
constexpr int kMaxRestarts = 3;     // from scratch, after a server's odd answers to a Range

class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr) throw std::bad_alloc();
    Reset();
  }
  ~Sha256() { EVP_MD_CTX_free(context_); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Reset() { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }
  void Add(const char* data, size_t size) { EVP_DigestUpdate(context_, data, size); }
  std::string Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_, digest, &length);
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
      text += kHex[digest[i] >> 4];
      text += kHex[digest[i] & 15];
    }
    return text;
  }

 private:
  EVP_MD_CTX* context_;
};

std::string Why(int error) { return std::strerror(error); }

// Whatever is there (a link too) counts; so does what cannot be examined.
bool Exists(int folder, const std::string& name) {
  struct stat info {};
  return fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

// NAME.part, held with flock while this download writes it, so that no
// other job (or a second velmora-host) writes the same file.
struct PartFile {
  std::string base;  // the name as proposed, made safe
  int number = 0;    // name is NumberedName(base, number)
  std::string name;
  UniqueFd fd;
  bool created = false;  // made by this download
  uint64_t size = 0;     // bytes in it
  std::string partName() const { return name + kPartSuffix; }
};

// Opens the .part of the first name of base that may be used: one whose
// file does not exist (or may be replaced) and whose .part is new, or left
// by an earlier run and free (--continue resumes it, --overwrite empties it).
PartFile ClaimPart(int folder, const std::string& base, const DownloadOptions& options) {
  for (int n = 0; n < kMaxNumber; ++n) {
    PartFile part;
    part.base = base;
    part.number = n;
    part.name = NumberedName(base, n);
    const std::string partName = part.partName();
    if (!options.overwrite && Exists(folder, part.name)) continue;
    int fd = openat(folder, partName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0644);
    if (fd >= 0) {
      part.fd = UniqueFd(fd);
      part.created = true;
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) continue;  // a --continue elsewhere took it at once
      return part;
    }
    if (errno != EEXIST) throw FileError("cannot create " + partName + ": " + Why(errno));
    if (!options.resume && !options.overwrite) continue;  // an earlier .part stays as it is
    fd = openat(folder, partName.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;  // a link, or nothing we may open
    part.fd = UniqueFd(fd);
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) continue;  // another job or program writes it
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (options.resume) {
      part.size = static_cast<uint64_t>(info.st_size);
    } else if (ftruncate(fd, 0) != 0) {
      throw FileError("cannot empty " + partName + ": " + Why(errno));
    }
    return part;
  }
  throw FileError("every name from " + base + " to " + NumberedName(base, kMaxNumber - 1) +
                  " is taken");
}

// Renames the whole .part to its name, or with --overwrite over a file of
// that name; a name taken meanwhile gives the next number. Returns the name.
std::string Publish(int folder, const PartFile& part, bool overwrite) {
  const std::string from = part.partName();
  for (int n = part.number; n < kMaxNumber; ++n) {
    const std::string name = NumberedName(part.base, n);
    if (overwrite && n == part.number) {
      if (renameat(folder, from.c_str(), folder, name.c_str()) == 0) return name;
      throw FileError("cannot rename " + from + " to " + name + ": " + Why(errno));
    }
    if (n != part.number && Exists(folder, name + kPartSuffix)) continue;  // another's
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

void WriteAt(int fd, const char* data, size_t size, uint64_t offset, const std::string& what) {
  while (size > 0) {
    const ssize_t written = pwrite(fd, data, size, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      throw FileError("cannot write " + what + ": " + Why(errno));
    }
    data += written;
    size -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
}

// The hash of the first size bytes of fd (a .part to resume).
void HashPrefix(int fd, uint64_t size, Sha256& hash, const std::string& what) {
  std::vector<char> buffer(1 << 20);
  uint64_t offset = 0;
  while (offset < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - offset));
    const ssize_t got = pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw FileError("cannot read " + what + ": " + (got < 0 ? Why(errno) : "it shrank"));
    hash.Add(buffer.data(), static_cast<size_t>(got));
    offset += static_cast<uint64_t>(got);
  }
}

bool HeaderIs(std::string_view line, std::string_view name, std::string_view& value) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
  }
  value = line.substr(name.size() + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  return true;
}

// A whole number of at most 18 digits, or -1.
int64_t Number(std::string_view text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos) {
    return -1;
  }
  int64_t value = 0;
  for (const char c : text) value = value * 10 + (c - '0');
  return value;
}

// "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL": first (-1 for "*") and total (-1 for "*").
void ParseContentRange(std::string_view value, int64_t& first, int64_t& total) {
  first = total = -1;
  if (value.rfind("bytes ", 0) != 0) return;
  value.remove_prefix(6);
  const size_t slash = value.find('/');
  if (slash == std::string_view::npos) return;
  total = Number(value.substr(slash + 1));
  const std::string_view range = value.substr(0, slash);
  first = Number(range.substr(0, range.find('-')));
}

// The transfer under way: what the current response said, and the file.
struct Transfer {
  enum class Stop { kNone, kResume, kRangeMismatch, kNotFile, kWriteFailed };

  CURL* curl = nullptr;
  int folder = -1;
  const DownloadOptions* options = nullptr;
  ProgressDisplay* display = nullptr;
  size_t slot = 0;
  Sha256 hash;
  std::optional<PartFile> part;
  uint64_t rangeFrom = 0;  // what this request asked for; 0: the whole file
  int64_t expected = -1;
  uint64_t resumedFrom = 0;
  Stop stop = Stop::kNone;
  std::string error;

  // Of the response under way.
  long status = 0;
  std::string disposition;
  int64_t contentLength = -1;
  std::string contentRange;
  bool headersDone = false;  // what follows are trailers, if any
  bool writing = false;

  void NewResponse(std::string_view statusLine) {
    status = 0;
    headersDone = false;
    disposition.clear();
    contentLength = -1;
    contentRange.clear();
    writing = false;
    const size_t space = statusLine.find(' ');
    if (space != std::string_view::npos) {
      status = static_cast<long>(std::max<int64_t>(0, Number(statusLine.substr(space + 1, 3))));
    }
  }

  // The headers of a 2xx response are in: the file gets its name and .part.
  bool BeginBody() {
    try {
      if (!part) {
        char* effective = nullptr;
        curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective);
        part = ClaimPart(folder, DownloadFileName(disposition, effective ? effective : ""),
                         *options);
        if (display != nullptr) display->Name(slot, part->name);
        if (part->size > 0) {
          HashPrefix(part->fd.get(), part->size, hash, part->partName());
          if (rangeFrom == 0) {  // ask again, for the rest only
            stop = Stop::kResume;
            return false;
          }
        }
      }
      if (status == 206) {
        int64_t first = -1, total = -1;
        ParseContentRange(contentRange, first, total);
        if (first < 0 || static_cast<uint64_t>(first) != part->size) {
          stop = Stop::kRangeMismatch;
          return false;
        }
        expected = total >= 0 ? total : contentLength >= 0 ? first + contentLength : -1;
        resumedFrom = part->size;
      } else {
        // The whole file (a server that ignores Range sends it all): from the start.
        if (part->size > 0) {
          if (ftruncate(part->fd.get(), 0) != 0) {
            throw FileError("cannot empty " + part->partName() + ": " + Why(errno));
          }
          part->size = 0;
          hash.Reset();
        }
        expected = contentLength;
        resumedFrom = 0;
      }
    } catch (const FileError& failure) {
      stop = Stop::kWriteFailed;
      error = failure.what();
      return false;
    }
    if (display != nullptr) display->Moved(slot, part->size, expected);
    writing = true;
    return true;
  }

  bool Write(const char* data, size_t size) {
    if (!writing) {
      stop = Stop::kNotFile;  // an error page: not worth reading
      return false;
    }
    try {
      WriteAt(part->fd.get(), data, size, part->size, options->folderShown + part->partName());
    } catch (const FileError& failure) {
      stop = Stop::kWriteFailed;
      error = failure.what();
      return false;
    }
    hash.Add(data, size);
    part->size += size;
    if (display != nullptr) display->Moved(slot, part->size, expected);
    return true;
  }

  // Back to nothing: the .part emptied, the next request for the whole file.
  void StartOver() {
    if (part && part->size > 0 && ftruncate(part->fd.get(), 0) == 0) part->size = 0;
    hash.Reset();
    rangeFrom = 0;
  }
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  std::string_view value;
  if (line.rfind("HTTP/", 0) == 0) {  // a response (after a redirect, the next one)
    transfer.NewResponse(line);
  } else if (transfer.headersDone) {
    return bytes;  // trailers of a chunked body: not the file's headers
  } else if (!line.empty()) {
    if (HeaderIs(line, "content-disposition", value)) transfer.disposition = value;
    if (HeaderIs(line, "content-length", value)) transfer.contentLength = Number(value);
    if (HeaderIs(line, "content-range", value)) transfer.contentRange = value;
  } else {
    transfer.headersDone = transfer.status >= 200;  // a 1xx is followed by the real headers
    if (transfer.headersDone && transfer.status < 300 && !transfer.BeginBody()) {
      return 0;  // stops the transfer
    }
  }
  return bytes;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  return transfer.Write(data, size * count) ? size * count : 0;
}

int OnProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return InterruptSignal() != 0 ? 1 : 0;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

}  // namespace

Downloader::Downloader(HttpOptions http, CurlShare* share, DownloadOptions options)
    : http_(std::move(http)), options_(std::move(options)), noProxy_(NoProxyList()) {
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) throw std::bad_alloc();
  curl_ = curl;
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (share != nullptr) curl_easy_setopt(curl, CURLOPT_SHARE, share->handle());
  curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");  // the engine on: the share's cookies go along
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_AUTOREFERER, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, http_.connectTimeoutSeconds);
  // A transfer may take long; one that stalls for --timeout seconds fails.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, http_.timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, http_.userAgent.c_str());
  if (!http_.proxy.empty()) curl_easy_setopt(curl, CURLOPT_PROXY, http_.proxy.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, noProxy_.c_str());
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  for (const std::string& header : http_.headers) {
    curl_slist* grown = curl_slist_append(headers_, header.c_str());
    if (grown == nullptr) {
      curl_slist_free_all(headers_);
      curl_easy_cleanup(curl);
      throw std::bad_alloc();
    }
    headers_ = grown;
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers_);
}

Downloader::~Downloader() {
  curl_easy_cleanup(static_cast<CURL*>(curl_));
  curl_slist_free_all(headers_);
}

DownloadReport Downloader::Fetch(const std::string& url, const std::string& referer,
                                 std::optional<Clock::time_point> deadline,
                                 ProgressDisplay* display, size_t slot) {
  CURL* curl = static_cast<CURL*>(curl_);
  const Clock::time_point started = Clock::now();
  DownloadReport report;
  report.finalUrl = url;
  Transfer transfer;
  transfer.curl = curl;
  transfer.folder = options_.folder;
  transfer.options = &options_;
  transfer.display = display;
  transfer.slot = slot;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_REFERER, referer.empty() ? nullptr : referer.c_str());
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);

  double pause = 0.5;
  int restarts = 0;
  bool interrupted = false;
  bool saved = false;
  for (int attempt = 1;; ++attempt) {
    report.attempts = attempt;
    if (IsInvalidName(url)) {
      report.error = "Could not resolve host: " + HostOfUrl(url);
      break;
    }
    long timeoutMs = 0;
    bool deadlineBinds = false;
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) {
        report.error = "the deadline of " + Seconds(http_.deadlineSeconds) +
                       " seconds for this link passed";
        break;
      }
      timeoutMs = static_cast<long>(left);
      deadlineBinds = true;
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    const std::string range = std::to_string(transfer.rangeFrom) + "-";
    curl_easy_setopt(curl, CURLOPT_RANGE, transfer.rangeFrom > 0 ? range.c_str() : nullptr);
    transfer.stop = Transfer::Stop::kNone;
    transfer.status = 0;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    char* effective = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
      report.finalUrl = effective;
    }
    report.status = transfer.status;
    const uint64_t have = transfer.part ? transfer.part->size : 0;

    bool retryable = false;
    if (transfer.stop == Transfer::Stop::kResume) {
      transfer.rangeFrom = have;  // the same file, from where the .part ends
      --attempt;
      continue;
    }
    if (transfer.stop == Transfer::Stop::kRangeMismatch && ++restarts <= kMaxRestarts) {
      transfer.StartOver();
      --attempt;
      continue;
    }
    if (transfer.status == 416 && transfer.rangeFrom > 0 && ++restarts <= kMaxRestarts) {
      int64_t first = -1, total = -1;
      ParseContentRange(transfer.contentRange, first, total);
      if (total >= 0 && static_cast<uint64_t>(total) == have) {  // the .part was whole
        transfer.expected = total;
        transfer.resumedFrom = have;
        saved = true;
        break;
      }
      transfer.StartOver();
      --attempt;
      continue;
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && InterruptSignal() != 0) {
      interrupted = true;
      report.error = std::string("interrupted by ") + SignalName(InterruptSignal());
      break;
    }
    if (transfer.stop == Transfer::Stop::kWriteFailed) {
      report.error = transfer.error;
      break;
    }
    if (transfer.stop == Transfer::Stop::kRangeMismatch) {
      report.error = "the server keeps sending other parts of the file than asked for";
      break;
    }
    if (code == CURLE_OK && (transfer.status < 200 || transfer.status >= 300)) {
      report.error = "the server answered with HTTP status " + std::to_string(transfer.status) +
                     (transfer.status / 100 == 3 ? " and no redirect that was followed" : "");
      retryable = transfer.status >= 500;
    } else if (transfer.stop == Transfer::Stop::kNotFile) {
      report.error = "the server answered with HTTP status " + std::to_string(transfer.status);
      retryable = transfer.status >= 500;
    } else if (code == CURLE_UNSUPPORTED_PROTOCOL) {
      char* location = nullptr;
      curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
      report.error = location != nullptr
                         ? "the redirect to " + std::string(location) +
                               " was not followed: only http and https are"
                         : std::string(errorText[0] != '\0' ? errorText : curl_easy_strerror(code));
    } else if (code == CURLE_OPERATION_TIMEDOUT && deadlineBinds &&
               Clock::now() >= *deadline - std::chrono::milliseconds(50)) {
      report.error = "the deadline of " + Seconds(http_.deadlineSeconds) +
                     " seconds for this link passed";
    } else if (code == CURLE_PARTIAL_FILE ||
               (code == CURLE_OK && transfer.expected >= 0 &&
                have < static_cast<uint64_t>(transfer.expected))) {
      report.error = "the transfer was cut off after " + std::to_string(have) + " of " +
                     (transfer.expected >= 0 ? std::to_string(transfer.expected) : "?") +
                     " bytes";
      retryable = true;
    } else if (code != CURLE_OK) {
      report.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
      retryable = IsWorthRetrying(code, 0);
    } else if (transfer.expected >= 0 && have != static_cast<uint64_t>(transfer.expected)) {
      report.error = "size mismatch: the server announced " + std::to_string(transfer.expected) +
                     " bytes and sent " + std::to_string(have);
    } else {
      saved = true;
      break;
    }
    if (!retryable || attempt > http_.retries) break;
    if (deadline && std::chrono::duration<double>(*deadline - Clock::now()).count() <= pause) break;
    SleepUnlessInterrupted(pause);
    if (InterruptSignal() != 0) {
      interrupted = true;
      report.error = std::string("interrupted by ") + SignalName(InterruptSignal());
      break;
    }
    pause = std::min(pause * 2, 30.0);
    report.error.clear();
    transfer.rangeFrom = transfer.part ? transfer.part->size : 0;  // go on from there
  }
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);

  report.interrupted = interrupted;
  report.expectedSize = transfer.expected;
  report.resumedFrom = transfer.resumedFrom;
  if (transfer.part) {
    PartFile& part = *transfer.part;
    report.size = part.size;
    if (saved) {
      try {
        const std::string name = Publish(options_.folder, part, options_.overwrite);
        if (close(part.fd.release()) != 0) {
          throw FileError("cannot write " + options_.folderShown + name + ": " + Why(errno));
        }
        report.path = options_.folderShown + name;
        report.sha256 = transfer.hash.Hex();
      } catch (const FileError& failure) {
        report.error = failure.what();
      }
    }
    if (report.path.empty()) {
      if (part.size > 0) {
        report.partPath = options_.folderShown + part.partName();
      } else if (part.created) {
        unlinkat(options_.folder, part.partName().c_str(), 0);  // nothing worth keeping
      }
    }
  } else if (saved) {
    report.error = "the server sent no file";
  }
  report.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return report;
}

}  // namespace velmora::host
