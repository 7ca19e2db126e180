// Drives the loaded plugin for a run: hands it the host callbacks, resolves
// links one at a time and turns its answers into reports.
#ifndef VELMORA_HOST_HOST_SESSION_H_
#define VELMORA_HOST_HOST_SESSION_H_

#include <ostream>
#include <string>

#include "host/link_report.h"
#include "host/plugin_library.h"
#include "host/transport.h"

namespace velmora::host {

struct SessionOptions {
  bool debug = false;
  std::string dumpDir;   // with its trailing separator; the plugin appends a file name
  int dumpFolder = -1;   // the dump folder, open; the session writes only there
  bool trace = false;
  bool traceCookies = false;  // cookie and credential values shown unmasked
};

// The plugin's dump file name, the one it appends to dumpDir.
constexpr char kDumpName[] = "Dornix.html";

// The plugin keeps one process-wide callback table, so there is at most one
// session at a time. Traces and the plugin's debug log go to diagnostics as
// they happen, every site byte through Shown(); a failed transfer is part of
// the link's result.
class HostSession {
 public:
  HostSession(PluginLibrary& plugin, Transport& transport, SessionOptions options,
              std::ostream& diagnostics);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // The host name the plugin says it serves.
  const std::string& servedHost() const { return servedHost_; }

  // Resolves url; a debug dump goes to dumpName in the dump folder.
  LinkReport Resolve(const std::string& url, const std::string& dumpName = kDumpName);

 private:
  static HostText VELMORA_CALL GetPageCallback(const void* link);
  static HostText VELMORA_CALL PostFormCallback(HostText url, HostText params);
  static void VELMORA_CALL LogCallback(HostText message);
  static void VELMORA_CALL SaveFileCallback(HostText path, HostText content);

  HostText GetPage(const char* url);
  HostText PostForm(const char* action, const char* params);
  // Runs one exchange; returns the page for the plugin, empty on failure.
  HostText Exchange(const std::string& method, const std::string& url, const std::string& body,
                    std::string& keep);
  void TraceExchange(const ExchangeLog& exchange, const std::string& body);
  void Trace(const std::string& line);
  void Log(const char* message);
  void SaveFile(const char* path, const char* content);
  bool Stopped() const { return stop_ != Outcome::kLink || !transferError_.empty(); }

  PluginLibrary& plugin_;
  Transport& transport_;
  SessionOptions options_;
  std::ostream& diagnostics_;
  std::string servedHost_;

  // Per link: the texts handed to the plugin stay alive until it copied them.
  LinkReport report_;
  std::string dumpName_;
  std::string page_;
  std::string answer_;
  std::string pageUrl_;  // final URL of the page, base of the form's action
  std::string lastFinalUrl_;
  std::string transferError_;
  Outcome stop_ = Outcome::kLink;
  std::string stopReason_;
};

}  // namespace velmora::host

#endif  // VELMORA_HOST_HOST_SESSION_H_
