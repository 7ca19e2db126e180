// For the Win32 tests: watches for the structured exceptions that the
// plugin raises to a host (plugin_api.h, convention 6), and raises and
// catches them as a host written in another language does. MinGW's C++ has
// no __try/__except, so both do by hand what such a host's compiler does.
#ifndef VELMORA_TESTING_STRUCTURED_EXCEPTION_PROBE_H_
#define VELMORA_TESTING_STRUCTURED_EXCEPTION_PROBE_H_

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
ProbeOutcome RunOnProbeThread(std::function<void()> body, std::function<void()> atRaise = nullptr);

// Runs body(context) on this thread inside the equivalent of a host's
// __try { ... } __except (EXCEPTION_EXECUTE_HANDLER) { ... }: a structured
// exception that nothing in body handles unwinds body (every frame handler
// in between is called once more, to clean up) and ends up here; the thread
// goes on. Nests: the innermost catches. Allocates nothing.
ProbeOutcome CatchOnThisThread(void (*body)(void* context), void* context);

}  // namespace velmora

#endif  // VELMORA_TESTING_STRUCTURED_EXCEPTION_PROBE_H_
