#include "host/download/downloader.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include "host/download/file_naming.h"
#include "host/download/part_file.h"
#include "host/io/progress_display.h"
#include "host/io/safe_files.h"
#include "host/net/http_headers.h"
#include "host/net/retry.h"

namespace velmora::host {
namespace {

constexpr int kMaxRestarts = 3;  // from scratch, after a server's odd answers to a Range

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

void WriteAt(int fd, std::string_view bytes, uint64_t offset, const std::string& what) {
  while (!bytes.empty()) {
    const ssize_t written = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      throw FileError("cannot write " + what + ": " + Why(errno));
    }
    bytes.remove_prefix(static_cast<size_t>(written));
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
    if (got <= 0)
      throw FileError("cannot read " + what + ": " + (got < 0 ? Why(errno) : "it shrank"));
    hash.Add(buffer.data(), static_cast<size_t>(got));
    offset += static_cast<uint64_t>(got);
  }
}

// The bytes of a web page sent in place of a file: enough to recognise it.
constexpr size_t kWebPageShown = 100;

// text cut before a UTF-8 sequence its end cuts short.
std::string_view WholeCharacters(std::string_view text) {
  size_t end = text.size();
  for (size_t back = 0; back < 4 && end > 0; ++back) {
    const unsigned char c = static_cast<unsigned char>(text[end - 1]);
    if (c < 0x80) break;
    --end;
    if (c >= 0xC0) {  // a lead byte: keep its sequence if it is whole
      const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      if (text.size() - end >= length) end = text.size();
      break;
    }
  }
  return text.substr(0, end);
}

// Whether a body starts as markup does: after a UTF-8 byte-order mark and
// blanks, "<" and a letter, "!" or "?". A zip labelled text/html does not.
class MarkupStart {
 public:
  enum class Verdict { kUnsure, kMarkup, kNot };

  Verdict Feed(std::string_view bytes) {
    static constexpr unsigned char kBom[] = {0xEF, 0xBB, 0xBF};
    for (const char ch : bytes) {
      if (verdict_ != Verdict::kUnsure) break;
      const unsigned char c = static_cast<unsigned char>(ch);
      if (afterOpening_) {
        verdict_ = std::isalpha(c) || c == '!' || c == '?' ? Verdict::kMarkup : Verdict::kNot;
      } else if (seen_ < 3 && bom_ == seen_ && c == kBom[bom_]) {
        ++bom_;
      } else if (bom_ > 0 && bom_ < 3) {
        verdict_ = Verdict::kNot;  // a mark cut short
      } else if (c == '<') {
        afterOpening_ = true;
      } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\f') {
        verdict_ = Verdict::kNot;
      }
      ++seen_;
    }
    return verdict_;
  }

 private:
  Verdict verdict_ = Verdict::kUnsure;
  uint64_t seen_ = 0;
  uint64_t bom_ = 0;  // bytes of the mark seen
  bool afterOpening_ = false;
};

// Whether a 206 (its Content-Range total and ETag in now) goes on with part:
// an earlier run's only with the total and ETag it recorded; this download's
// own unless the server says the file changed.
bool GoesOn(const PartFile& part, const PartRecord& now) {
  const PartRecord& kept = part.record;
  if (part.created) {
    return (kept.total < 0 || now.total == kept.total) &&
           (kept.etag.empty() || now.etag.empty() || now.etag == kept.etag);
  }
  return kept.total >= 0 && now.total == kept.total && (now.etag.empty() || now.etag == kept.etag);
}

// The file's bytes on their way into its .part.
class FileSink final : public BodySink {
 public:
  enum class Stop {
    kNone,
    kResume,         // an earlier .part of this file: ask for the rest
    kRangeMismatch,  // this download's .part and a 206 that does not go on with it
    kForeign,        // an earlier .part and an answer that does not prove it the same
    kNotFile,
    kWebPage,
    kWriteFailed
  };

  FileSink(const DownloadOptions& options, const std::string& link, const std::string& directLink,
           ProgressDisplay* display, size_t slot)
      : options_(options), link_(link), directLink_(directLink), display_(display), slot_(slot) {}

  bool Begin(const ResponseHead& head) override {
    stop = Stop::kNone;
    sniffing_ = false;
    if (head.status < 200 || head.status >= 300) {
      stop = Stop::kNotFile;  // an error page: not worth reading
      return false;
    }
    std::string_view value;
    std::string disposition, contentRange, contentType;
    int64_t contentLength = -1;
    PartRecord now{link_, directLink_, head.url, "", "", -1};
    for (const std::string& line : head.headers) {
      if (HeaderIs(line, "content-disposition", &value)) disposition = value;
      if (HeaderIs(line, "content-length", &value)) contentLength = HeaderNumber(value);
      if (HeaderIs(line, "content-range", &value)) contentRange = value;
      if (HeaderIs(line, "content-type", &value)) contentType = value;
      if (HeaderIs(line, "etag", &value)) now.etag = value;
      if (HeaderIs(line, "last-modified", &value)) now.lastModified = value;
    }
    int64_t first = -1;
    if (head.status == 206) {
      ParseContentRange(contentRange, first, now.total);
    } else {
      now.total = contentLength;
    }
    try {
      if (!part) {
        Claim(DownloadFileName(disposition, head.url), now, options_.resume && mayResume);
        if (!part->created) {  // an earlier run's, of the same resource
          HashPrefix(part->fd.get(), part->size, hash, part->partName());
          if (!askedRange) {  // ask again, for the rest only
            stop = Stop::kResume;
            return false;
          }
        }
      }
      if (head.status == 206) {
        if (first < 0 || static_cast<uint64_t>(first) != part->size || !GoesOn(*part, now)) {
          stop = part->created ? Stop::kRangeMismatch : Stop::kForeign;
          return false;
        }
        expected = now.total >= 0 ? now.total : contentLength >= 0 ? first + contentLength : -1;
        resumedFrom = part->size;
      } else if (!part->created) {
        // The whole of what may be another file: the earlier .part stays as
        // it is, and this body gets a name of its own.
        Abandon();
        Claim(DownloadFileName(disposition, head.url), now, false);
      } else {
        // This download's own .part: the whole file from the start.
        if (part->size > 0) StartOver();
        if (part->record.Text() != now.Text()) RewriteRecord(options_.folder, *part, now);
      }
      if (head.status != 206) {
        expected = contentLength;
        resumedFrom = 0;
      }
    } catch (const FileError& failure) {
      stop = Stop::kWriteFailed;
      error = failure.what();
      return false;
    }
    sniffing_ =
        part->size == 0 && !options_.acceptWebPage && IsWebPageInsteadOf(contentType, part->name);
    markup_ = MarkupStart();
    webPage.clear();
    contentType_ = contentType;
    if (display_ != nullptr) display_->Moved(slot_, part->size, expected);
    return true;
  }

  bool Write(std::string_view bytes) override {
    if (sniffing_) {
      webPage.append(bytes.substr(0, kWebPageShown - std::min(kWebPageShown, webPage.size())));
      const MarkupStart::Verdict verdict = markup_.Feed(bytes);
      if (verdict == MarkupStart::Verdict::kMarkup) {
        stop = Stop::kWebPage;
        return false;
      }
      if (verdict == MarkupStart::Verdict::kNot) sniffing_ = false;
    }
    try {
      WriteAt(part->fd.get(), bytes, part->size, options_.folderShown + part->partName());
    } catch (const FileError& failure) {
      stop = Stop::kWriteFailed;
      error = failure.what();
      return false;
    }
    hash.Add(bytes.data(), bytes.size());
    part->size += bytes.size();
    if (display_ != nullptr) display_->Moved(slot_, part->size, expected);
    return true;
  }

  // Back to nothing: this download's .part emptied, the next request for the
  // whole file.
  void StartOver() {
    if (part && part->size > 0) {
      if (ftruncate(part->fd.get(), 0) != 0) {
        throw FileError("cannot empty " + part->partName() + ": " + Why(errno));
      }
      part->size = 0;
    }
    hash.Reset();
  }

  // Lets go of an earlier run's .part, as it is; what comes next goes under
  // a name of its own.
  void Abandon() {
    part.reset();
    hash.Reset();
    mayResume = false;
  }

  // The reason a web page was refused.
  std::string WebPageText() const {
    return "the server sent a web page (" + contentType_ + ") instead of the file, starting \"" +
           std::string(WholeCharacters(webPage)) + "\"; --accept-web-page saves such a page";
  }

  uint64_t have() const { return part ? part->size : 0; }

  Sha256 hash;
  std::optional<PartFile> part;
  bool askedRange = false;  // the request under way asked for the rest only
  bool mayResume = true;    // cleared once an earlier .part proved another's
  int64_t expected = -1;
  uint64_t resumedFrom = 0;
  Stop stop = Stop::kNone;
  std::string error;
  std::string webPage;  // the first bytes of a body that may be a web page

 private:
  void Claim(const std::string& base, const PartRecord& now, bool resume) {
    part = ClaimPart(options_.folder, base, now, {options_.overwrite, resume}, *options_.names);
    if (display_ != nullptr) display_->Name(slot_, part->name);
  }

  const DownloadOptions& options_;
  const std::string& link_;
  const std::string& directLink_;
  ProgressDisplay* display_;
  size_t slot_;
  bool sniffing_ = false;  // the body may still turn out to be a web page
  MarkupStart markup_;
  std::string contentType_;
};

}  // namespace

DownloadReport Downloader::Fetch(const std::string& link, const std::string& url,
                                 const std::string& referer,
                                 std::optional<HttpConnection::Clock::time_point> deadline,
                                 ProgressDisplay* display, size_t slot) {
  DownloadReport report;
  FileSink sink(options_, link, url, display, slot);
  HttpRequest request;
  request.url = url;
  request.referer = referer;
  request.decode = false;
  request.stallTimeout = true;
  request.note = note_;
  int restarts = 0;
  bool saved = false;
  // Asks for the rest of what the .part holds, only if it is still the file
  // its record names (If-Range), or for all of it.
  auto askFrom = [&](uint64_t from) {
    request.range = from > 0 ? std::to_string(from) + "-" : "";
    request.headers.clear();
    const std::string validator = sink.part ? sink.part->record.Validator() : "";
    if (from > 0 && !validator.empty()) request.headers.push_back("If-Range: " + validator);
    sink.askedRange = from > 0;
  };
  Attempt attempt =
      PerformWithRetries(connection_, request, sink, deadline, [&](Attempt& tried, HttpRequest&) {
        const uint64_t have = sink.have();
        const FileSink::Stop stop = sink.stop;
        const bool earlierPart = sink.part && !sink.part->created;
        try {
          if (stop == FileSink::Stop::kResume) {
            askFrom(have);  // the same file, from where the .part ends
            return Judgement::kAgainAtOnce;
          }
          if (stop == FileSink::Stop::kRangeMismatch && ++restarts <= kMaxRestarts) {
            sink.StartOver();
            askFrom(0);
            return Judgement::kAgainAtOnce;
          }
          if (stop == FileSink::Stop::kForeign && ++restarts <= kMaxRestarts) {
            sink.Abandon();
            askFrom(0);
            return Judgement::kAgainAtOnce;
          }
          if (tried.status == 416 && sink.askedRange && ++restarts <= kMaxRestarts) {
            int64_t first = -1, total = -1;
            if (!tried.hops.empty()) {
              ParseContentRange(HeaderValue(tried.hops.back().responseHeaders, "content-range"),
                                first, total);
            }
            // The .part was whole: an earlier run's only at the size it recorded.
            if (total >= 0 && static_cast<uint64_t>(total) == have &&
                (!earlierPart || sink.part->record.total == total)) {
              sink.expected = total;
              sink.resumedFrom = have;
              saved = true;
              tried.error.clear();
              return Judgement::kDone;
            }
            if (earlierPart) {
              sink.Abandon();
            } else {
              sink.StartOver();
            }
            askFrom(0);
            return Judgement::kAgainAtOnce;
          }
        } catch (const FileError& failure) {
          tried.error = failure.what();
          return Judgement::kGiveUp;
        }
        if (stop == FileSink::Stop::kWriteFailed) {
          tried.error = sink.error;
          return Judgement::kGiveUp;
        }
        if (stop == FileSink::Stop::kWebPage) {
          tried.error = sink.WebPageText();
          return Judgement::kGiveUp;
        }
        if (stop == FileSink::Stop::kRangeMismatch || stop == FileSink::Stop::kForeign) {
          tried.error = "the server keeps sending other parts of the file than asked for";
          return Judgement::kGiveUp;
        }
        Judgement failed = Judgement::kGiveUp;
        if (stop == FileSink::Stop::kNotFile ||
            (tried.error.empty() && (tried.status < 200 || tried.status >= 300))) {
          tried.error = StatusText(tried.status, tried.refusedRedirect);
          failed = IsWorthRetrying(0, tried.status) ? Judgement::kRetry : Judgement::kGiveUp;
        } else if (tried.cutShort || (tried.error.empty() && sink.expected >= 0 &&
                                      have < static_cast<uint64_t>(sink.expected))) {
          tried.error = "the transfer was cut off after " + std::to_string(have) + " of " +
                        (sink.expected >= 0 ? std::to_string(sink.expected) : "?") + " bytes";
          failed = Judgement::kRetry;
        } else if (!tried.error.empty()) {
          failed = tried.retryable ? Judgement::kRetry : Judgement::kGiveUp;
        } else if (sink.expected >= 0 && have != static_cast<uint64_t>(sink.expected)) {
          tried.error = "size mismatch: the server announced " + std::to_string(sink.expected) +
                        " bytes and sent " + std::to_string(have);
        } else {
          saved = true;
          return Judgement::kDone;
        }
        askFrom(sink.have());  // a next try goes on from there
        return failed;
      });

  static_cast<Attempt&>(report) = std::move(attempt);
  report.expectedSize = sink.expected;
  report.resumedFrom = sink.resumedFrom;
  const bool webPage = sink.stop == FileSink::Stop::kWebPage;
  if (webPage) report.webPage = WholeCharacters(sink.webPage);
  if (sink.part) {
    PartFile& part = *sink.part;
    report.size = part.size;
    if (saved) {
      try {
        const std::string name =
            Publish(options_.folder, part, options_.overwrite, *options_.names);
        if (close(part.fd.release()) != 0) {
          throw FileError("cannot write " + options_.folderShown + name + ": " + Why(errno));
        }
        report.path = options_.folderShown + name;
        report.sha256 = sink.hash.Hex();
      } catch (const FileError& failure) {
        report.error = failure.what();
      }
    }
    if (report.path.empty()) {
      if (part.created && (part.size == 0 || webPage)) {
        report.size = 0;
        RemovePart(options_.folder, part);  // nothing worth keeping
      } else if (part.size > 0) {
        report.partPath = options_.folderShown + part.partName();
        report.partResumable = !part.record.Validator().empty();
      }
    }
  } else if (saved) {
    report.error = "the server sent no file";
  }
  return report;
}

}  // namespace velmora::host
