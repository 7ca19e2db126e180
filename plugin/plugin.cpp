// The three exports. Thin on purpose: take a snapshot of the host's
// callbacks and settings, let resolve/ do the work, and turn its verdict
// into the text the host receives.
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "plugin/issued_links.h"
#include "plugin/plugin_api.h"
#include "resolve/link_resolver.h"

namespace velmora {
namespace {

constexpr char kServedHost[] = "dornix.example";
constexpr char kEmptyText[] = "";
constexpr char kNotFoundText[] = "%notfound%";
constexpr char kDeletedText[] = "%deleted%";

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

// Leaves the request's action URL in PluginState however the request ends.
class ActionRecorder {
 public:
  ActionRecorder(PluginState& state, std::string& action) : state_(state), action_(action) {}
  ~ActionRecorder() {
    std::lock_guard<std::mutex> lock(state_.mutex);
    state_.formAction.swap(action_);  // no allocation on the way out
  }
  ActionRecorder(const ActionRecorder&) = delete;
  ActionRecorder& operator=(const ActionRecorder&) = delete;

 private:
  PluginState& state_;
  std::string& action_;
};

}  // namespace

PluginState& State() {
  static PluginState state;
  return state;
}

}  // namespace velmora

using velmora::State;

extern "C" {

HostText VELMORA_CALL PlgInit(VelmoraGetPage getPage, VelmoraPostForm postForm, VelmoraLog log,
                              uint32_t hostValue, VelmoraSaveFile saveFile, uint32_t debugMode,
                              HostText dumpDir) {
  velmora::PluginState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.getPage = getPage;
  state.postForm = postForm;
  state.log = log;
  state.hostValue = hostValue;
  state.saveFile = saveFile;
  state.debugMode = (debugMode & 0xFFu) == 1;
  state.dumpDir.assign(velmora::ViewOfHostText(dumpDir));
  return velmora::kServedHost;
}

HostText VELMORA_CALL PlgGetDirectLink(const void* link) {
  using namespace velmora;
  PluginState& state = State();
  RequestBuffers buffers;
  std::string dumpDir;
  Snapshot snapshot;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    snapshot = {state.getPage, state.postForm, state.log, state.saveFile, state.debugMode};
    if (snapshot.debugMode) dumpDir = state.dumpDir;
    state.formAction.clear();
  }
  // Not initialised, or destroyed: nothing to call.
  if (snapshot.getPage == nullptr || snapshot.postForm == nullptr) return kEmptyText;

  CallbackHost host(snapshot, link);
  ActionRecorder recorder(state, buffers.formAction);
  const Resolution resolution =
      ResolveDirectLink(host, ResolverSettings{snapshot.debugMode, dumpDir}, buffers);
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

void VELMORA_CALL PlgDestroy(void) {
  velmora::PluginState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.getPage = nullptr;
  state.postForm = nullptr;
}

}  // extern "C"
