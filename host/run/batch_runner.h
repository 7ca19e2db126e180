// Runs the links of a batch on several threads at once and hands their
// reports back in input order.
#ifndef VELMORA_HOST_RUN_BATCH_RUNNER_H_
#define VELMORA_HOST_RUN_BATCH_RUNNER_H_

#include <cstddef>
#include <functional>

#include "host/run/link_report.h"

namespace velmora::host {

// Takes item index (0, 1, 2 ... in turn, one call at a time, on a job
// thread) for work to find; false when there is none, which ends the batch.
using BatchTake = std::function<bool(size_t index)>;
// Resolves (or fetches) item index on job thread worker (0 .. workers-1);
// each worker's tools are its own.
using BatchWork = std::function<LinkReport(size_t worker, size_t index)>;
// Takes the report of item index, on the calling thread, in input order;
// false stops the batch: no further item starts, none is handed on.
using BatchDeliver = std::function<bool(size_t index, LinkReport& report)>;

// Runs the items take gives on workers threads: each takes the next item,
// so the items begun are always the first ones, whatever finishes first.
// At most window items are taken and not yet handed on: item i + window is
// not taken before item i is handed on, so a caller keeps what an item
// needs in window slots (index % window), whatever the batch's length.
// After a signal (InterruptSignal) no item starts; those under way finish
// as they do. idle runs on the calling thread a few times a second while
// it waits (to draw a progress display). Returns how many items were handed
// on. An exception from take or work stops the batch and is rethrown here
// once every thread has ended.
size_t RunBatch(const BatchTake& take, size_t workers, size_t window, const BatchWork& work,
                const BatchDeliver& deliver, const std::function<void()>& idle);

}  // namespace velmora::host

#endif  // VELMORA_HOST_RUN_BATCH_RUNNER_H_
