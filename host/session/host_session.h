// Drives the loaded plugin for a run: hands it the host callbacks, resolves
// links, one at a time or several at once, and turns its answers into
// reports.
#ifndef VELMORA_HOST_SESSION_HOST_SESSION_H_
#define VELMORA_HOST_SESSION_HOST_SESSION_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

#include "host/net/transport.h"
#include "host/run/link_report.h"
#include "host/session/plugin_library.h"
#include "plugin/plugin_api.h"

namespace velmora::host {

struct SessionOptions {
  bool debug = false;
  std::string dumpDir;  // with its trailing separator; the plugin appends a file name
  int dumpFolder = -1;  // the dump folder, open; the session writes only there
  bool trace = false;
  bool traceCookies = false;  // cookie and credential values shown unmasked
};

// The plugin's dump file name, the one it appends to dumpDir.
constexpr char kDumpName[] = VELMORA_DUMP_FILE_NAME;

// How one link is resolved: through which transport (each job has its own),
// as which link of the run, and where its dump goes.
struct LinkCall {
  Transport* transport = nullptr;
  size_t ordinal = 0;                // handed to Transport::BeginLink
  std::string dumpName = kDumpName;  // in the dump folder
  std::string tag;  // put before its trace and log lines when links run at once, e.g. "#3"
};

// The plugin keeps one process-wide callback table, so there is at most one
// session at a time. Resolve may run on several threads at once (the plugin
// allows overlapping calls): each call has its own context, which the
// callbacks find by the link reference the plugin hands to getPage and, for
// the callbacks that carry none, by the thread (the plugin calls back on
// the thread that called it). Traces and the plugin's debug log go to the
// stderr writer as they happen, whole lines, every site byte through
// Shown(); a failed transfer is part of the link's result.
class HostSession {
 public:
  HostSession(PluginLibrary& plugin, Transport& transport, SessionOptions options);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // The host name the plugin says it serves.
  const std::string& servedHost() const { return servedHost_; }

  // Resolves url through the session's transport; a debug dump goes to
  // dumpName in the dump folder.
  LinkReport Resolve(const std::string& url, const std::string& dumpName = kDumpName);
  // Resolves url as call says; thread-safe.
  LinkReport Resolve(const std::string& url, const LinkCall& call);

  // Loads the plugin afresh, with the same callbacks and settings, once no
  // call is inside it; calls that come meanwhile wait for the new one. What
  // it held goes with it: the links it handed out (kept until it is
  // unloaded). Cookies live in the run's connections, recordings and dumps
  // in the host, so a run goes on as before. Thread-safe; when another
  // thread is reloading, waits for that one. Throws PluginLoadError when
  // the file can no longer be loaded (every later Resolve then throws too).
  void ReloadPlugin();

  // The context of one call, opaque outside host_session.cpp.
  struct Job;

 private:
  static HostText VELMORA_CALL GetPageCallback(const void* link);
  static HostText VELMORA_CALL PostFormCallback(HostText url, HostText params);
  static void VELMORA_CALL LogCallback(HostText message);
  static void VELMORA_CALL SaveFileCallback(HostText path, HostText content);

  HostText GetPage(Job& job, const char* url);
  HostText PostForm(Job& job, const char* action, const char* params);
  // Runs one exchange; returns the page for the plugin, empty on failure.
  HostText Exchange(Job& job, const std::string& method, const std::string& url,
                    const std::string& body, std::string& keep);
  void TraceExchange(const Job& job, const ExchangeLog& exchange, const std::string& body);
  void Log(const Job& job, const char* message);
  void SaveFile(Job& job, const char* path, const char* content);

  void InitPlugin();
  // Around a call into the plugin: none while it is reloaded.
  void Enter();
  void Leave();

  PluginLibrary& plugin_;
  Transport& transport_;
  SessionOptions options_;
  std::string servedHost_;
  std::mutex gateLock_;
  std::condition_variable gateChanged_;
  size_t inside_ = 0;  // calls inside the plugin
  bool reloading_ = false;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_SESSION_HOST_SESSION_H_
