// The three exports. Thin on purpose: take a snapshot of the host's
// callbacks and settings, let resolve/ do the work, and turn its verdict
// into the text the host receives.
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "plugin/boundary.h"
#include "plugin/issued_links.h"
#include "plugin/plugin_api.h"
#include "resolve/link_resolver.h"

namespace velmora {
namespace {

constexpr char kServedHost[] = "dornix.example";
constexpr char kEmptyText[] = "";
constexpr char kNotFoundText[] = "%notfound%";
constexpr char kDeletedText[] = "%deleted%";

// The plugin's single process-wide record: zero and empty when the library
// has been loaded. mutex guards every field; a request works on a snapshot
// of the callbacks and settings taken under it.
struct PluginState {
  VelmoraGetPage getPage = nullptr;
  VelmoraPostForm postForm = nullptr;
  VelmoraLog log = nullptr;
  VelmoraSaveFile saveFile = nullptr;
  uint32_t hostValue = 0;  // kept for the host; unused
  bool debugMode = false;
  std::string dumpDir;     // dump path prefix, used unchanged
  std::string formAction;  // action URL of the request finished last
  Mutex mutex;
};

// The one instance, created on first use.
PluginState& State() {
  static PluginState state;
  return state;
}

// What one request uses of PluginState, copied under its lock.
struct Snapshot {
  VelmoraGetPage getPage = nullptr;
  VelmoraPostForm postForm = nullptr;
  VelmoraLog log = nullptr;
  VelmoraSaveFile saveFile = nullptr;
  bool debugMode = false;
};

// The host's callbacks seen as a ResolverHost; every text the host returns
// is copied into the request's buffer at once.
class CallbackHost final : public ResolverHost {
 public:
  CallbackHost(const Snapshot& snapshot, const void* link) : snapshot_(snapshot), link_(link) {}

  void GetPage(std::string& page) override {
    CopyHostText(ViewOfHostText(snapshot_.getPage(link_)), page);
  }
  void PostForm(const std::string& url, const std::string& params,
                std::string& answer) override {
    CopyHostText(ViewOfHostText(snapshot_.postForm(url.c_str(), params.c_str())), answer);
  }
  void Log(const std::string& message) override {
    if (snapshot_.log != nullptr) snapshot_.log(message.c_str());
  }
  void SaveFile(const std::string& path, const std::string& content) override {
    if (snapshot_.saveFile != nullptr) snapshot_.saveFile(path.c_str(), content.c_str());
  }

 private:
  const Snapshot& snapshot_;
  const void* link_;
};

// Everything one request owns. It is released by its destructor however
// the request ends: returning, unwinding, or abandoned by the host after a
// structured exception in one of its callbacks (see AbandonGuard).
class Request {
 public:
  explicit Request(PluginState& state) : state_(state) {}
  // Leaves the request's action URL in PluginState.
  ~Request() {
    std::lock_guard<Mutex> lock(state_.mutex);
    state_.formAction.swap(buffers.formAction);  // no allocation on the way out
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  static void ReleaseAbandoned(void* request) noexcept { delete static_cast<Request*>(request); }

  RequestBuffers buffers;
  std::string dumpDir;

 private:
  PluginState& state_;
};

HostText Init(VelmoraGetPage getPage, VelmoraPostForm postForm, VelmoraLog log,
              uint32_t hostValue, VelmoraSaveFile saveFile, uint32_t debugMode,
              HostText dumpDir) {
  // Copied before anything is stored, so that an exhausted heap leaves the
  // earlier settings whole.
  std::string dumpDirCopy(ViewOfHostText(dumpDir));
  PluginState& state = State();
  std::lock_guard<Mutex> lock(state.mutex);
  state.getPage = getPage;
  state.postForm = postForm;
  state.log = log;
  state.hostValue = hostValue;
  state.saveFile = saveFile;
  state.debugMode = (debugMode & 0xFFu) == 1;
  state.dumpDir.swap(dumpDirCopy);
  return kServedHost;
}

HostText GetDirectLink(const void* link) {
  PluginState& state = State();
  // On the heap, so that the guard can release it when the call is abandoned.
  const std::unique_ptr<Request> request = std::make_unique<Request>(state);
  const AbandonGuard guard(&Request::ReleaseAbandoned, request.get());
  Snapshot snapshot;
  {
    std::lock_guard<Mutex> lock(state.mutex);
    snapshot = {state.getPage, state.postForm, state.log, state.saveFile, state.debugMode};
    if (snapshot.debugMode) request->dumpDir = state.dumpDir;
    state.formAction.clear();
  }
  // Not initialised, or destroyed: nothing to call.
  if (snapshot.getPage == nullptr || snapshot.postForm == nullptr) return kEmptyText;

  CallbackHost host(snapshot, link);
  const Resolution resolution = ResolveDirectLink(
      host, ResolverSettings{snapshot.debugMode, request->dumpDir}, request->buffers);
  switch (resolution.verdict) {
    case Verdict::kNotFound:
      return kNotFoundText;
    case Verdict::kDeleted:
      return kDeletedText;
    case Verdict::kLink:
      return IssueLink(resolution.link);
    case Verdict::kNoLink:
      break;
  }
  return kEmptyText;
}

void Destroy() {
  PluginState& state = State();
  std::lock_guard<Mutex> lock(state.mutex);
  state.getPage = nullptr;
  state.postForm = nullptr;
}

}  // namespace
}  // namespace velmora

// Each export is its body run at the boundary, which decides how an error
// reaches the host (plugin_api.h, convention 6).
extern "C" {

HostText VELMORA_CALL PlgInit(VelmoraGetPage getPage, VelmoraPostForm postForm, VelmoraLog log,
                              uint32_t hostValue, VelmoraSaveFile saveFile, uint32_t debugMode,
                              HostText dumpDir) {
  return velmora::AtBoundary(
      [&] { return velmora::Init(getPage, postForm, log, hostValue, saveFile, debugMode, dumpDir); });
}

HostText VELMORA_CALL PlgGetDirectLink(const void* link) {
  return velmora::AtBoundary([&] { return velmora::GetDirectLink(link); });
}

void VELMORA_CALL PlgDestroy(void) {
  velmora::AtBoundary([] { velmora::Destroy(); });
}

}  // extern "C"
