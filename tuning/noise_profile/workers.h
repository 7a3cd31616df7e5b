// Runs a job on a few threads. The calibrations only split work whose partial
// results combine exactly (integer sums), so the thread count never changes a result.
#pragma once

#include <functional>

namespace tuning::noise {

// Threads worth starting for work that splits into many independent pieces.
int default_workers();

// Calls job(worker) on `workers` threads (the caller's thread is worker 0) and
// rethrows the first exception any of them raised once all have stopped.
void run_workers(int workers, const std::function<void(int worker)>& job);

}  // namespace tuning::noise
