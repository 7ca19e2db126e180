// Test support: a thread for the tests that run in both builds. MinGW's
// win32 thread model has no std::thread; there a thread is CreateThread's.
#ifndef VELMORA_TESTING_TEST_THREAD_H_
#define VELMORA_TESTING_TEST_THREAD_H_

#include <functional>
#include <memory>

namespace velmora::testing {

// Runs body on a new thread from construction; the destructor waits for it.
class TestThread {
 public:
  explicit TestThread(std::function<void()> body);
  ~TestThread();
  TestThread(TestThread&&) noexcept;
  TestThread(const TestThread&) = delete;
  TestThread& operator=(const TestThread&) = delete;

  // Waits until body has returned. Once only.
  void Join();

  // Lets other threads run.
  static void YieldNow();

  struct Handle;  // the platform's thread, and body

 private:
  std::unique_ptr<Handle> handle_;
};

}  // namespace velmora::testing

#endif  // VELMORA_TESTING_TEST_THREAD_H_
