#include "testing/test_thread.h"

#include <cstdlib>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <thread>
#endif

namespace velmora::testing {

#if defined(_WIN32)
struct TestThread::Handle {
  std::function<void()> body;
  HANDLE thread = nullptr;
};

namespace {
DWORD WINAPI RunBody(void* handle) {
  static_cast<TestThread::Handle*>(handle)->body();
  return 0;
}
}  // namespace

TestThread::TestThread(std::function<void()> body) : handle_(new Handle{std::move(body)}) {
  handle_->thread = CreateThread(nullptr, 0, &RunBody, handle_.get(), 0, nullptr);
  if (handle_->thread == nullptr) std::abort();  // a test cannot go on without it
}

void TestThread::Join() {
  WaitForSingleObject(handle_->thread, INFINITE);
  CloseHandle(handle_->thread);
  handle_->thread = nullptr;
}

TestThread::~TestThread() {
  if (handle_ != nullptr && handle_->thread != nullptr) Join();
}

void TestThread::YieldNow() { SwitchToThread(); }
#else
struct TestThread::Handle {
  std::thread thread;
};

TestThread::TestThread(std::function<void()> body)
    : handle_(new Handle{std::thread(std::move(body))}) {}

void TestThread::Join() { handle_->thread.join(); }

TestThread::~TestThread() {
  if (handle_ != nullptr && handle_->thread.joinable()) Join();
}

void TestThread::YieldNow() { std::this_thread::yield(); }
#endif

TestThread::TestThread(TestThread&&) noexcept = default;

}  // namespace velmora::testing
