// For the Win32 tests: watches for the structured exceptions that the
// plugin raises to a host (plugin_api.h, convention 6). MinGW's C++ has no
// __try/__except, so the probe runs the code on a thread of its own whose
// outermost frame handler ends the thread when an exception gets there.
#ifndef VELMORA_PLUGIN_STRUCTURED_EXCEPTION_PROBE_H_
#define VELMORA_PLUGIN_STRUCTURED_EXCEPTION_PROBE_H_

#include <windows.h>

#include <functional>

namespace velmora {

struct ProbeOutcome {
  bool raised = false;  // false: body returned normally
  DWORD code = 0;
  DWORD flags = 0;
};

// Runs body on a new thread and waits for it. If a structured exception
// that nothing in body handles is raised, atRaise runs first (still during
// the search for a handler, before anything of body is unwound), then body
// is unwound the way a host's handler unwinds it, and the thread ends
// without returning into body.
ProbeOutcome RunOnProbeThread(std::function<void()> body,
                              std::function<void()> atRaise = nullptr);

}  // namespace velmora

#endif  // VELMORA_PLUGIN_STRUCTURED_EXCEPTION_PROBE_H_
