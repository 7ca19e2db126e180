// What the exports need from the platform: the lock of the plugin's
// process-wide records, and the way an error inside the plugin reaches the
// host (plugin_api.h, convention 6). One implementation is linked in:
// boundary_native.cpp or boundary_win32.cpp.
#ifndef VELMORA_PLUGIN_BOUNDARY_H_
#define VELMORA_PLUGIN_BOUNDARY_H_

#include <mutex>

namespace velmora {

#if defined(_WIN32) && defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define VELMORA_SRW_MUTEX 1
// MinGW's win32 thread model has no std::mutex (before GCC 13). An SRW lock
// needs no set-up, no clean-up and no runtime DLL; it is one pointer, zero
// when unlocked.
class Mutex {
 public:
  constexpr Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  void unlock();

 private:
  void* srwLock_ = nullptr;
};
#else
using Mutex = std::mutex;
#endif

// Keeps what a call owns releasable when a structured exception raised in
// a host callback makes the host abandon the call. On 32-bit Windows such
// an exception passes through the plugin without running its destructors;
// the guard then calls release(context) while the host unwinds. The C
// runtime's longjmp unwinds the frame handlers it passes over the same way,
// so a host that longjmps out of a callback releases the call too. Natively
// C++ unwinding does that job and the guard does nothing. Must live on the
// stack of the call, and context until the guard is gone.
class AbandonGuard {
 public:
  using Release = void (*)(void* context) noexcept;
  AbandonGuard(Release release, void* context) noexcept;
  ~AbandonGuard();
  AbandonGuard(const AbandonGuard&) = delete;
  AbandonGuard& operator=(const AbandonGuard&) = delete;

  void ReleaseNow() noexcept { release_(context_); }

 private:
  // Win32: the frame handler registration {next, handler} the system walks.
  void* registration_[2] = {nullptr, nullptr};
  Release release_;
  void* context_;
};

// Called inside a catch handler at an export. On Win32: the structured
// exception code that stands for the exception being handled. Elsewhere it
// rethrows that exception, so the caller receives it unchanged.
unsigned long FailureCode();

// Raises code to the host as a non-continuable structured exception.
[[noreturn]] void RaiseFailure(unsigned long code);

// Runs body, the whole work of one export. A C++ exception first unwinds
// body (releasing the call's temporaries and locks), then the handler ends,
// and only then is the failure raised to the host: nothing of the C++
// exception is left behind when the host takes over.
template <typename Body>
auto AtBoundary(Body&& body) -> decltype(body()) {
  unsigned long code;
  try {
    return body();
  } catch (...) {
    code = FailureCode();
  }
  RaiseFailure(code);
}

}  // namespace velmora

#endif  // VELMORA_PLUGIN_BOUNDARY_H_
