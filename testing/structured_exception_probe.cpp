#include "testing/structured_exception_probe.h"

#include <utility>

namespace velmora {
namespace {

struct Probe {
  std::function<void()> body;
  std::function<void()> atRaise;
  ProbeOutcome outcome;
};

Probe* g_probe = nullptr;  // one probe at a time

EXCEPTION_DISPOSITION __cdecl ProbeHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    return ExceptionContinueSearch;
  }
  g_probe->outcome = {true, record->ExceptionCode, record->ExceptionFlags};
  if (g_probe->atRaise) g_probe->atRaise();
  // Unwind to this frame as a host's handler does before it takes over:
  // every frame handler in between is called once more, to clean up.
  RtlUnwind(frame, nullptr, record, nullptr);
  ExitThread(record->ExceptionCode);
}

// The layout Win32 expects for a frame handler in the chain at fs:[0].
struct HandlerRegistration {
  HandlerRegistration* next;
  void* handler;
};

DWORD WINAPI ProbeMain(void*) {
  HandlerRegistration registration;
  __asm__ volatile("movl %%fs:0, %0" : "=r"(registration.next));
  registration.handler = reinterpret_cast<void*>(&ProbeHandler);
  __asm__ volatile("movl %0, %%fs:0" : : "r"(&registration) : "memory");
  g_probe->body();
  __asm__ volatile("movl %0, %%fs:0" : : "r"(registration.next) : "memory");
  return 0;
}

// A host's __try on this thread: its frame registration, where to resume,
// and what it caught.
struct CatchFrame {
  HandlerRegistration registration;  // first: the system passes its address
  void* resume[5];                   // for __builtin_setjmp
  ProbeOutcome outcome;
};

EXCEPTION_DISPOSITION __cdecl CatchHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    return ExceptionContinueSearch;
  }
  auto* catchFrame = static_cast<CatchFrame*>(frame);
  catchFrame->outcome = {true, record->ExceptionCode, record->ExceptionFlags};
  // As the __except of a host's compiler: unwind the frames above this one
  // (leaving this registration at the head of the chain), then resume in
  // the function that registered it, with its own stack.
  RtlUnwind(frame, nullptr, record, nullptr);
  __builtin_longjmp(catchFrame->resume, 1);
}

}  // namespace

ProbeOutcome CatchOnThisThread(void (*body)(void* context), void* context) {
  CatchFrame frame{};
  __asm__ volatile("movl %%fs:0, %0" : "=r"(frame.registration.next));
  frame.registration.handler = reinterpret_cast<void*>(&CatchHandler);
  if (__builtin_setjmp(frame.resume) == 0) {
    __asm__ volatile("movl %0, %%fs:0" : : "r"(&frame.registration) : "memory");
    body(context);
  }
  __asm__ volatile("movl %0, %%fs:0" : : "r"(frame.registration.next) : "memory");
  return frame.outcome;
}

ProbeOutcome RunOnProbeThread(std::function<void()> body, std::function<void()> atRaise) {
  Probe probe{std::move(body), std::move(atRaise), {}};
  g_probe = &probe;
  HANDLE thread = CreateThread(nullptr, 0, &ProbeMain, nullptr, 0, nullptr);
  if (thread != nullptr) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  g_probe = nullptr;
  return probe.outcome;
}

}  // namespace velmora
