// Folding independent pieces of work on a few threads. The calibrations only
// split work whose partial results combine exactly (integer sums, bands of
// rows that each do what a single pass would), so the thread count never
// changes a result.
#pragma once

#include <cstdint>
#include <functional>

namespace tuning {

// Threads worth starting for work that streams captures: reading them is
// memory-bound, and two threads already take what the memory bus gives.
int default_workers();

// Calls job(worker) for worker 0 .. workers - 1, on that many threads (the
// caller's thread is worker 0), and waits for all of them. Each worker index
// is used by one thread at a time. When no thread can be started, the workers
// left run one after another on the caller's thread. The failure of the
// lowest-numbered failing worker is rethrown once all have stopped.
void run_workers(int workers, const std::function<void(int worker)>& job);

// Rows [begin, end) of one band; band is its index, counting from the top.
using BandWork = std::function<void(int band, std::int64_t begin, std::int64_t end)>;

// Thin bands cost more in thread start-up than they save.
inline constexpr std::int64_t kMinBandRows = 64;

// Number of bands `units` units are split into: one per core (at most four),
// and never bands thinner than min_per_band.
int band_count(std::int64_t units, std::int64_t min_per_band = kMinBandRows);

// First unit of band `band` out of `bands`, units split as evenly as possible.
std::int64_t band_begin(std::int64_t units, int bands, int band);

// Runs work on band_count(units, min_per_band) contiguous bands through
// run_workers: the first band on the calling thread, the first failure in
// band order rethrown after every band has finished.
void for_each_band(std::int64_t units, const BandWork& work, std::int64_t min_per_band = kMinBandRows);

}  // namespace tuning
