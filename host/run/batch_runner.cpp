#include "host/run/batch_runner.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "host/cli/interrupt.h"

namespace velmora::host {

size_t RunBatch(const BatchTake& take, size_t workers, size_t window, const BatchWork& work,
                const BatchDeliver& deliver, const std::function<void()>& idle) {
  window = std::max<size_t>(window, 1);
  std::mutex lock;
  std::condition_variable changed;
  // The reports finished and not yet handed on, item i in slot i % window.
  std::vector<std::optional<LinkReport>> finished(window);
  // One taker at a time, without lock: take may wait for its input (stdin)
  // while finished reports are handed on.
  std::mutex takeLock;
  size_t taken = 0;
  size_t handed = 0;
  size_t running = workers;
  bool ended = false;  // take gave no more
  bool stop = false;
  std::exception_ptr failure;
  auto fail = [&] {
    std::lock_guard<std::mutex> guard(lock);
    if (!failure) failure = std::current_exception();
    stop = true;
  };

  auto job = [&](size_t worker) {
    while (true) {
      std::unique_lock<std::mutex> taking(takeLock);
      size_t index = 0;
      {
        std::unique_lock<std::mutex> guard(lock);
        // A signal comes without a notification: look again now and then.
        while (!stop && !ended && InterruptSignal() == 0 && taken >= handed + window) {
          changed.wait_for(guard, std::chrono::milliseconds(100));
        }
        if (stop || ended || InterruptSignal() != 0) break;
        index = taken;
      }
      bool more = false;
      try {
        more = take(index);
      } catch (...) {
        fail();
        break;
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        if (!more) {
          ended = true;
          break;
        }
        ++taken;
      }
      taking.unlock();
      try {
        LinkReport report = work(worker, index);
        std::lock_guard<std::mutex> guard(lock);
        finished[index % window] = std::move(report);
      } catch (...) {
        fail();
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

  bool delivering = true;
  auto endThreads = [&] {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    changed.notify_all();
    for (std::thread& thread : threads) thread.join();
  };
  try {
    while (true) {
      std::unique_lock<std::mutex> guard(lock);
      auto next = [&]() -> std::optional<LinkReport>& { return finished[handed % window]; };
      const bool ready = changed.wait_for(guard, std::chrono::milliseconds(100), [&] {
        return (delivering && handed < taken && next()) || running == 0;
      });
      if (delivering && handed < taken && next()) {
        LinkReport report = std::move(*next());
        next().reset();
        guard.unlock();
        const bool more = deliver(handed, report);
        guard.lock();
        ++handed;  // its slot is free for item handed + window
        if (!more) {
          delivering = false;
          stop = true;
        }
        guard.unlock();
        changed.notify_all();
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
