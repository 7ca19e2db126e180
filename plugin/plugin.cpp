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
// of the callbacks and settings taken under it. Nothing is allocated while
// it is held (boundary.h, FailForLackOfMemory).
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

// The one instance, made while the library is loaded, before any export can
// be called, and released when it unloads. Not a function-local static: the
// runtime's lock for those would bring a semaphore into the Win32 DLL that
// unloading it leaves behind.
PluginState g_state;

PluginState& State() { return g_state; }

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
  void PostForm(const std::string& url, const std::string& params, std::string& answer) override {
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
// structured exception in one of its callbacks or from an exhausted heap
// (see AbandonGuard).
class Request {
 public:
  explicit Request(PluginState& state) : state_(state) {}
  // Leaves the request's action URL in PluginState.
  ~Request() {
    if (!published_) return;
    std::lock_guard<Mutex> lock(state_.mutex);
    state_.formAction.swap(buffers.formAction);  // no allocation under the lock
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Takes no lock, as AbandonGuard requires: the exception may have been
  // raised while this thread held one. An abandoned request leaves no action
  // URL behind.
  static void ReleaseAbandoned(void* request) noexcept {
    static_cast<Request*>(request)->published_ = false;
    delete static_cast<Request*>(request);
  }

  RequestBuffers buffers;
  std::string dumpDir;

 private:
  PluginState& state_;
  bool published_ = true;
};

HostText Init(VelmoraGetPage getPage, VelmoraPostForm postForm, VelmoraLog log, uint32_t hostValue,
              VelmoraSaveFile saveFile, uint32_t debugMode, HostText dumpDir) {
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

// Takes the request's snapshot of the state. In debug mode the dump folder
// is copied too, into room made before the lock is taken.
Snapshot TakeSnapshot(PluginState& state, Request& request) {
  std::size_t room = 0;
  for (;;) {
    request.dumpDir.reserve(room);
    std::lock_guard<Mutex> lock(state.mutex);
    if (state.debugMode && state.dumpDir.size() > request.dumpDir.capacity()) {
      room = state.dumpDir.size();  // PlgInit changed it meanwhile: once more
      continue;
    }
    if (state.debugMode) request.dumpDir.assign(state.dumpDir);
    state.formAction.clear();
    return {state.getPage, state.postForm, state.log, state.saveFile, state.debugMode};
  }
}

HostText GetDirectLink(const void* link) {
  PluginState& state = State();
  // On the heap, so that the guard can release it when the call is abandoned.
  const std::unique_ptr<Request> request = std::make_unique<Request>(state);
  const AbandonGuard guard(&Request::ReleaseAbandoned, request.get());
  const Snapshot snapshot = TakeSnapshot(state, *request);
  // Not initialised, or destroyed: nothing to call.
  if (snapshot.getPage == nullptr || snapshot.postForm == nullptr) return kEmptyText;

  CallbackHost host(snapshot, link);
  const Resolution resolution = ResolveDirectLink(
      host, ResolverSettings{snapshot.debugMode, request->dumpDir, VELMORA_DUMP_FILE_NAME},
      request->buffers);
  switch (resolution.verdict) {
    case Verdict::kNotFound: return kNotFoundText;
    case Verdict::kDeleted: return kDeletedText;
    case Verdict::kLink: return IssueLink(resolution.link);
    case Verdict::kNoLink: break;
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

// The exports. An error inside the plugin leaves them as boundary.h
// describes (plugin_api.h, convention 6).
extern "C" {

HostText VELMORA_CALL PlgInit(VelmoraGetPage getPage, VelmoraPostForm postForm, VelmoraLog log,
                              uint32_t hostValue, VelmoraSaveFile saveFile, uint32_t debugMode,
                              HostText dumpDir) {
  return velmora::Init(getPage, postForm, log, hostValue, saveFile, debugMode, dumpDir);
}

HostText VELMORA_CALL PlgGetDirectLink(const void* link) { return velmora::GetDirectLink(link); }

void VELMORA_CALL PlgDestroy(void) { velmora::Destroy(); }

}  // extern "C"
