// The work behind one request: fetch the file's page, submit its first form
// without premium fields, and read the direct link (or the site's verdict)
// out of the answer.
#ifndef VELMORA_RESOLVE_LINK_RESOLVER_H_
#define VELMORA_RESOLVE_LINK_RESOLVER_H_

#include <string>
#include <string_view>

#include "resolve/text_primitives.h"

namespace velmora {

class RoadObserver;

// What the resolver needs from whoever drives it. Texts handed in are valid
// only during the call; results are written into the caller's buffer (the
// one copy of the host's text that the request keeps).
class ResolverHost {
 public:
  virtual ~ResolverHost() = default;
  // Replaces page with the page behind the request's link (empty if none).
  virtual void GetPage(std::string& page) = 0;
  // POSTs params to url and replaces answer with the answer page.
  virtual void PostForm(const std::string& url, const std::string& params, std::string& answer) = 0;
  // Debug mode only.
  virtual void Log(const std::string& message) = 0;
  virtual void SaveFile(const std::string& path, const std::string& content) = 0;
};

// The working memory of one request, owned by whoever runs it: the plugin
// keeps it in one object that it can release even when a foreign fault
// passes over the request's frames.
//
// The rule that makes this work: a request keeps heap memory only in
// RequestBuffers, never in a local that is alive across a call of the
// host. On Win32 a host's structured exception (or longjmp) out of a
// callback passes over the resolver's frames without running their
// destructors; only RequestBuffers is released then (AbandonGuard in
// plugin/boundary.h). PluginFaultTest.HostFaultFromEachCallback and
// PluginHostFaultWin32Test.TenThousandFaultsLeaveMemoryFlat
// (plugin/plugin_faults_test.cpp) catch a breach of it under Wine.
struct RequestBuffers {
  std::string text;        // the page, then the answer
  std::string formAction;  // the action URL of the scanned form
  std::string params;      // the parameters as POSTed
  std::string field;       // the line of the form field being filtered
  std::string scratch;     // debug messages, dump path, lower-cased lines
};

enum class Verdict {
  kNoLink,    // page, form or answer lacked what is looked for
  kNotFound,  // the site rejects the link
  kDeleted,   // the site reports the download link as faulty
  kLink,      // a direct link was found (possibly empty)
};

struct Resolution {
  Verdict verdict = Verdict::kNoLink;
  std::string_view link;  // for kLink: a view into the request's buffers
};

struct ResolverSettings {
  bool debugMode = false;
  std::string_view dumpDir;       // dump path prefix, used as is
  std::string_view dumpFileName;  // appended to dumpDir: the dump's path
};

// Debug texts, as the log shows them (Windows-1251).
inline constexpr std::string_view kPostUrlMessage =
    "\xD1\xF1\xFB\xEB\xEA\xE0 \xE4\xEB\xFF POST: ";  // "Ссылка для POST: "
inline constexpr std::string_view kPostParamsMessage =
    "\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB POST:\n";  // "Параметры POST:" LF

// What the premium filter looks for in a lower-cased field line.
inline constexpr std::string_view kPremiumWord = "premium";

// Answer markers.
inline constexpr std::string_view kInvalidLinkMarker = "Invalid download link</b></p>";
inline constexpr std::string_view kFaultyLinkMarker = "Fehlerhafter Downloadlink";
inline constexpr std::string_view kLinkLineMarker = "Your download link";
inline constexpr std::string_view kHrefMarker = "HREF=\"";

// The most bytes of field lines (before the premium filter) that one form
// may add up to. Inputs without a name borrow the next name in the form, so
// a page of a few hundred kilobytes can ask for gigabytes of parameters;
// such a form is treated as unusable (no POST, no link) rather than left to
// exhaust the heap or stall the host.
inline constexpr std::size_t kMaxFieldBytes = 64u << 20;

// Resolves one link. buffers.formAction ends up holding the scanned action.
// Errors raised by the host, and an exhausted heap, pass through.
Resolution ResolveDirectLink(ResolverHost& host, const ResolverSettings& settings,
                             RequestBuffers& buffers);
// The same request, telling observer what each step found (road_observer.h):
// the fields and lines of the premium filter once, as they are measured.
Resolution ResolveDirectLink(ResolverHost& host, const ResolverSettings& settings,
                             RequestBuffers& buffers, RoadObserver& observer);

}  // namespace velmora

#endif  // VELMORA_RESOLVE_LINK_RESOLVER_H_
