// A Win32 host need not be C++ and cannot catch a C++ exception (this one
// unwinds with DWARF tables that no other compiler reads), so errors leave
// the exports as structured exceptions, which every Win32 language can
// catch, raised where they happen (boundary.h says why).
#include <windows.h>

#include <cstddef>

#include "plugin/boundary.h"
#include "plugin/plugin_api.h"

namespace velmora {

static_assert(VELMORA_STATUS_NO_MEMORY == STATUS_NO_MEMORY, "documented code is the system's");

#if defined(VELMORA_SRW_MUTEX)
static_assert(sizeof(SRWLOCK) == sizeof(void*), "Mutex stores an SRWLOCK in one pointer");
void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&srwLock_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&srwLock_)); }
#endif

#if defined(__i386__)
namespace {

// Registered for the lifetime of an AbandonGuard. Passes every exception on
// to the host; when the host unwinds past the guard, releases what the
// abandoned call owns.
EXCEPTION_DISPOSITION __cdecl AbandonHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                             void*) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    // frame is the registration, the guard's first member.
    static_cast<AbandonGuard*>(frame)->ReleaseNow();
  }
  return ExceptionContinueSearch;
}

}  // namespace

AbandonGuard::AbandonGuard(Release release, void* context) noexcept
    : release_(release), context_(context) {
  static_assert(offsetof(AbandonGuard, registration_) == 0, "the system sees the registration");
  __asm__ volatile("movl %%fs:0, %0" : "=r"(registration_[0]));
  registration_[1] = reinterpret_cast<void*>(&AbandonHandler);
  __asm__ volatile("movl %0, %%fs:0" : : "r"(registration_) : "memory");
}

AbandonGuard::~AbandonGuard() {
  __asm__ volatile("movl %0, %%fs:0" : : "r"(registration_[0]) : "memory");
}
#else
// Elsewhere structured exceptions unwind with tables that cover C++ frames.
AbandonGuard::AbandonGuard(Release release, void* context) noexcept
    : release_(release), context_(context) {}
AbandonGuard::~AbandonGuard() = default;
#endif

void FailForLackOfMemory() { RaiseFailure(VELMORA_STATUS_NO_MEMORY); }

void RaiseFailure(unsigned long code) {
  RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  // A host that continues a non-continuable exception gets a second one
  // from the system; the plugin never returns from here.
  for (;;) RaiseException(EXCEPTION_NONCONTINUABLE_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

}  // namespace velmora
