// Runs the links of a batch on several threads at once and hands their
// reports back in input order.
#ifndef VELMORA_HOST_RUN_BATCH_RUNNER_H_
#define VELMORA_HOST_RUN_BATCH_RUNNER_H_

#include <cstddef>
#include <functional>

#include "host/run/link_report.h"

namespace velmora::host {

// Resolves (or fetches) item index on job thread worker (0 .. workers-1);
// each worker's tools are its own.
using BatchWork = std::function<LinkReport(size_t worker, size_t index)>;
// Takes the report of item index, on the calling thread, in input order;
// false stops the batch: no further item starts, none is handed on.
using BatchDeliver = std::function<bool(size_t index, LinkReport& report)>;

// Runs count items on workers threads: each takes the next item not yet
// taken, so the items begun are always the first ones, whatever finishes
// first. After a signal (InterruptSignal) no item starts; those under way
// finish as they do. idle runs on the calling thread a few times a second
// while it waits (to draw a progress display). Returns how many items were
// handed on. An exception from work stops the batch and is rethrown here
// once every thread has ended.
size_t RunBatch(size_t count, size_t workers, const BatchWork& work, const BatchDeliver& deliver,
                const std::function<void()>& idle);

}  // namespace velmora::host

#endif  // VELMORA_HOST_RUN_BATCH_RUNNER_H_
