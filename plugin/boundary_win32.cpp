// A Win32 host need not be C++ and cannot catch a C++ exception (this one
// unwinds with DWARF tables that no other compiler reads), so errors leave
// the exports as structured exceptions, which every Win32 language can catch.
#include <windows.h>

#include <new>

#include "plugin/boundary.h"
#include "plugin/plugin_api.h"

namespace velmora {

static_assert(sizeof(SRWLOCK) == sizeof(void*), "Mutex stores an SRWLOCK in one pointer");
static_assert(VELMORA_STATUS_NO_MEMORY == STATUS_NO_MEMORY, "documented code is the system's");

void Mutex::lock() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&srwLock_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(&srwLock_)); }

unsigned long FailureCode() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return VELMORA_STATUS_NO_MEMORY;
  } catch (...) {
    return VELMORA_STATUS_FAILURE;
  }
}

void RaiseFailure(unsigned long code) {
  RaiseException(code, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  // A host that continues a non-continuable exception gets a second one
  // from the system; the plugin never returns from here.
  for (;;) RaiseException(EXCEPTION_NONCONTINUABLE_EXCEPTION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

}  // namespace velmora
