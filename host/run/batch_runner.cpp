#include "host/run/batch_runner.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "host/cli/interrupt.h"

namespace velmora::host {

size_t RunBatch(size_t count, size_t workers, const BatchWork& work, const BatchDeliver& deliver,
                const std::function<void()>& idle) {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::optional<LinkReport>> finished(count);
  size_t taken = 0;
  size_t running = workers;
  bool stop = false;
  std::exception_ptr failure;

  auto job = [&](size_t worker) {
    while (true) {
      size_t index = 0;
      {
        std::lock_guard<std::mutex> guard(lock);
        if (stop || taken >= count || InterruptSignal() != 0) break;
        index = taken++;
      }
      try {
        LinkReport report = work(worker, index);
        std::lock_guard<std::mutex> guard(lock);
        finished[index] = std::move(report);
      } catch (...) {
        std::lock_guard<std::mutex> guard(lock);
        if (!failure) failure = std::current_exception();
        stop = true;
      }
      changed.notify_all();
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      --running;
    }
    changed.notify_all();
  };

  std::vector<std::thread> threads;
  try {
    for (size_t worker = 0; worker < workers; ++worker) threads.emplace_back(job, worker);
  } catch (...) {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
      running -= workers - threads.size();
    }
    for (std::thread& thread : threads) thread.join();
    throw;
  }

  size_t handed = 0;
  bool delivering = true;
  auto endThreads = [&] {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    for (std::thread& thread : threads) thread.join();
  };
  try {
    while (true) {
      std::unique_lock<std::mutex> guard(lock);
      const bool ready = changed.wait_for(guard, std::chrono::milliseconds(100), [&] {
        return (delivering && handed < taken && finished[handed]) || running == 0;
      });
      if (delivering && handed < taken && finished[handed]) {
        LinkReport report = std::move(*finished[handed]);
        finished[handed].reset();
        guard.unlock();
        const bool more = deliver(handed, report);
        ++handed;
        if (!more) {
          delivering = false;
          guard.lock();
          stop = true;
        }
        continue;
      }
      if (running == 0) break;
      guard.unlock();
      if (!ready) idle();
    }
  } catch (...) {
    endThreads();  // a thread is never left running
    throw;
  }
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
  return handed;
}

}  // namespace velmora::host
