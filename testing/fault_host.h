// Test support: the host of the fault tests. Its callbacks serve one page
// and one answer and, when asked, give up at a chosen callback; how they
// leave is the test's choice (a C++ exception natively; a structured
// exception or longjmp on Win32). They allocate nothing, so block counts
// change by the plugin's doing alone.
#ifndef VELMORA_TESTING_FAULT_HOST_H_
#define VELMORA_TESTING_FAULT_HOST_H_

#include <cstdio>

#include "plugin/plugin_api.h"

namespace velmora::testing {

inline constexpr char kFaultPage[] =
    "<FORM ACTION=\"/dl/with/a/long/action\"><INPUT NAME=\"identifier\" VALUE=\"42-and-more\">"
    "<INPUT NAME=\"x\" VALUE=\"PREMIUM\"></FORM>";
inline constexpr char kFaultAnswer[] =
    "<P>Your download link</P>\n<A HREF=\"http://files.example/dl/42\">";
inline constexpr char kFaultLink[] = "http://files.example/dl/42";

enum class Callback { kNone, kGetPage, kPostForm, kLog, kSaveFile };

struct FaultyHost {
  const char* page = kFaultPage;
  const char* answer = kFaultAnswer;
  Callback faultAt = Callback::kNone;
  int faultOnCall = 1;  // log is called twice per request
  int hits = 0;
  void (*giveUp)() = nullptr;  // leaves the callback; never returns
  char savedPath[128] = {};
};
inline FaultyHost g_host;

struct CallbackFault {
  const char* what;
  Callback at;
  int onCall;
};

inline constexpr CallbackFault kCallbackFaults[] = {
    {"getPage", Callback::kGetPage, 1},   {"postForm", Callback::kPostForm, 1},
    {"first log", Callback::kLog, 1},     {"second log", Callback::kLog, 2},
    {"saveFile", Callback::kSaveFile, 1},
};

inline void FaultAt(const CallbackFault& row) {
  g_host.faultAt = row.at;
  g_host.faultOnCall = row.onCall;
  g_host.hits = 0;
}

inline void MaybeFault(Callback callback) {
  if (callback != g_host.faultAt || ++g_host.hits != g_host.faultOnCall) return;
  g_host.giveUp();
}

inline HostText VELMORA_CALL FaultyGetPage(const void*) {
  MaybeFault(Callback::kGetPage);
  return g_host.page;
}
inline HostText VELMORA_CALL FaultyPostForm(HostText, HostText) {
  MaybeFault(Callback::kPostForm);
  return g_host.answer;
}
inline void VELMORA_CALL FaultyLog(HostText) { MaybeFault(Callback::kLog); }
inline void VELMORA_CALL FaultySaveFile(HostText path, HostText) {
  MaybeFault(Callback::kSaveFile);
  std::snprintf(g_host.savedPath, sizeof g_host.savedPath, "%s", path);
}

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_FAULT_HOST_H_
