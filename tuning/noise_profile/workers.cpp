#include "workers.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tuning::noise {

namespace {
// Reading captures is memory-bound: two threads already saturate what a
// desktop memory bus gives one process, more only add contention.
constexpr unsigned kMaxWorkers = 2;
}  // namespace

int default_workers() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<int>(std::min(cores, kMaxWorkers));
}

void run_workers(int workers, const std::function<void(int)>& job) {
  std::exception_ptr first;
  std::mutex guard;
  const auto guarded = [&](int w) {
    try {
      job(w);
    } catch (...) {
      std::lock_guard<std::mutex> lock(guard);
      if (!first) first = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  for (int w = 1; w < workers; ++w) threads.emplace_back(guarded, w);
  guarded(0);
  for (auto& t : threads) t.join();
  if (first) std::rethrow_exception(first);
}

}  // namespace tuning::noise
