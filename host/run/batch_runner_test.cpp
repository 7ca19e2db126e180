// The ordered engine under every batch: reports leave in input order
// whatever finishes first, no more than a window's worth of items is taken
// and not handed on, and a failure, a refusal or a signal stops the batch
// with no thread left running.
#include "host/run/batch_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::host {
namespace {

constexpr long kNone = -1;

TEST(BatchRunnerTest, HandsItemsOnInInputOrderAndStopsWhenTold) {
  struct Row {
    const char* what;
    size_t count, workers, window;
    long workFails;      // this item's work throws
    long deliverSaysNo;  // deliver returns false for this item
    long deliverFails;   // deliver throws for this item
    size_t delivered;    // deliver is called for items 0 .. delivered-1
  };
  const Row rows[] = {
      {"one worker", 6, 1, 64, kNone, kNone, kNone, 6},
      {"later items finish first", 24, 6, 64, kNone, kNone, kNone, 24},
      {"more workers than items", 3, 8, 64, kNone, kNone, kNone, 3},
      {"no items", 0, 4, 64, kNone, kNone, kNone, 0},
      {"the first item's work throws", 60, 4, 64, 0, kNone, kNone, 0},
      {"a later item's work throws", 60, 4, 64, 5, kNone, kNone, 5},
      {"the last item's work throws", 8, 3, 64, 7, kNone, kNone, 7},
      {"deliver says no", 60, 4, 64, kNone, 7, kNone, 8},
      {"deliver throws", 60, 4, 64, kNone, kNone, 7, 8},
      {"window smaller than the workers", 40, 6, 3, kNone, kNone, kNone, 40},
      {"window of one", 12, 4, 1, kNone, kNone, kNone, 12},
      {"window of the workers", 50, 4, 4, kNone, kNone, kNone, 50},
      {"work throws in a small window", 60, 4, 5, 9, kNone, kNone, 9},
      {"deliver says no in a small window", 60, 4, 5, kNone, 20, kNone, 21},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::mutex lock;
    std::multiset<size_t> worked;
    std::set<size_t> workers;
    std::atomic<int> running{0};
    std::vector<size_t> delivered;
    std::atomic<size_t> handedOn{0};  // what deliver has seen so far
    size_t widest = 0;                // the most items taken and not handed on
    std::vector<size_t> asked;        // take's indices, one call at a time
    const BatchTake take = [&](size_t index) {
      asked.push_back(index);
      widest = std::max(widest, index + 1 - handedOn);
      return index < row.count;
    };
    const BatchWork work = [&](size_t worker, size_t index) {
      ++running;
      {
        std::lock_guard<std::mutex> guard(lock);
        worked.insert(index);
        workers.insert(worker);
      }
      // Of a dozen items in a row, the later one is done sooner.
      std::this_thread::sleep_for(std::chrono::milliseconds(2 * ((row.count - index) % 12)));
      --running;
      if (static_cast<long>(index) == row.workFails) throw std::runtime_error("item failed");
      LinkReport report;
      report.url = std::to_string(index);
      return report;
    };
    const BatchDeliver deliver = [&](size_t index, LinkReport& report) {
      EXPECT_EQ(report.url, std::to_string(index));
      delivered.push_back(index);
      handedOn = index + 1;
      if (static_cast<long>(index) == row.deliverFails) throw std::runtime_error("deliver failed");
      return static_cast<long>(index) != row.deliverSaysNo;
    };
    std::string thrown;
    size_t handed = 0;
    try {
      handed = RunBatch(take, row.workers, row.window, work, deliver, [] {});
    } catch (const std::runtime_error& error) {
      thrown = error.what();
    }
    EXPECT_EQ(running, 0) << "a job still ran when RunBatch came back";
    EXPECT_EQ(thrown, row.workFails != kNone      ? "item failed"
                      : row.deliverFails != kNone ? "deliver failed"
                                                  : "");
    if (thrown.empty()) {
      EXPECT_EQ(handed, row.delivered);
    }
    std::vector<size_t> inOrder(row.delivered);
    for (size_t i = 0; i < inOrder.size(); ++i) inOrder[i] = i;
    EXPECT_EQ(delivered, inOrder);
    // Each item at most once, and the items begun are the first ones.
    EXPECT_EQ(std::set<size_t>(worked.begin(), worked.end()).size(), worked.size());
    EXPECT_TRUE(worked.empty() || *worked.rbegin() + 1 == worked.size());
    const bool stopped =
        row.workFails != kNone || row.deliverSaysNo != kNone || row.deliverFails != kNone;
    if (stopped && row.count > 10) {
      EXPECT_LT(worked.size(), row.count) << "the batch went on after it was stopped";
    } else if (!stopped) {
      EXPECT_EQ(worked.size(), row.count);
    }
    for (const size_t worker : workers) EXPECT_LT(worker, row.workers);
    EXPECT_LE(widest, row.window) << "more items held than the window";
    for (size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(asked[i], i) << "taken in turn";
  }
}

}  // namespace
}  // namespace velmora::host
