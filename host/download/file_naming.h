// The name a downloaded file gets: from the server's Content-Disposition,
// else from the URL, made safe for the folder it lands in (also when that
// folder is shared with Windows).
#ifndef VELMORA_HOST_DOWNLOAD_FILE_NAMING_H_
#define VELMORA_HOST_DOWNLOAD_FILE_NAMING_H_

#include <string>
#include <string_view>

namespace velmora::host {

// A download in progress is NAME.part until it is whole.
inline constexpr std::string_view kPartSuffix = ".part";
// NAME, "NAME (1)" ... "NAME (9999)": the names tried for one file.
inline constexpr int kMaxNumber = 10000;
// The longest safe name, before the "_" that may guard a device's name and
// the one that may guard against the partial-file suffix: room for both,
// " (9999)" and ".part" under the 255 bytes a file system allows.
inline constexpr size_t kMaxNameBytes = 200;

// The file name a Content-Disposition header value proposes: filename*=
// (RFC 8187, UTF-8 or ISO-8859-1) before filename=; as sent, not yet made
// safe. Empty when it proposes none.
std::string DispositionFileName(std::string_view value);

// The last path segment of url, percent-decoded; empty when there is none.
std::string UrlFileName(const std::string& url);

// proposed made into a bare name that is safe to create: only what follows
// its last "/" or "\" is kept; control bytes, malformed UTF-8, characters
// that reorder text and those Windows forbids (<>:"|?*) become "_"; leading
// and trailing dots and blanks go; a name Windows reserves for a device
// (CON, NUL, COM1, LPT1.txt, ...) gets a "_" before it; at most 200 bytes,
// the extension kept; a name ending in ".part" (in any letter case) gets a
// "_" after it, so that no saved file looks like a download in progress.
// Empty when nothing usable is left.
std::string SafeFileName(std::string_view proposed);

// The name for a download: the first of the disposition's name, the URL's
// name and "download" that is usable once made safe.
std::string DownloadFileName(std::string_view disposition, const std::string& finalUrl);

// Whether a response declared contentType (Content-Type text/html or
// application/xhtml+xml, any case, parameters aside) is a web page sent in
// place of the file called name: one whose name does not end in .htm or
// .html.
bool IsWebPageInsteadOf(std::string_view contentType, std::string_view name);

// name with " (n)" before its extension: "a.zip" -> "a (2).zip"; n 0 is name.
std::string NumberedName(const std::string& name, int n);

}  // namespace velmora::host

#endif  // VELMORA_HOST_DOWNLOAD_FILE_NAMING_H_
