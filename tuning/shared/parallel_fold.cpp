#include "parallel_fold.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace tuning {

namespace {

constexpr unsigned kStreamingWorkers = 2;
// Two cores are what the calibration PCs have; more bands than cores only
// adds thread start-up cost.
constexpr int kMaxBands = 4;

unsigned cores() { return std::max(1u, std::thread::hardware_concurrency()); }

}  // namespace

int default_workers() { return static_cast<int>(std::min(cores(), kStreamingWorkers)); }

void run_workers(int workers, const std::function<void(int)>& job) {
  workers = std::max(1, workers);
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(workers));
  const auto run = [&](int w) {
    try {
      job(w);
    } catch (...) {
      failures[static_cast<std::size_t>(w)] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  try {
    for (int w = 1; w < workers; ++w) threads.emplace_back(run, w);
  } catch (const std::system_error&) {
    // No thread to spare: the workers not started run here instead.
  }
  for (int w = static_cast<int>(threads.size()) + 1; w < workers; ++w) run(w);
  run(0);
  for (auto& t : threads) t.join();
  for (const auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

int band_count(std::int64_t units, std::int64_t min_per_band) {
  const std::int64_t by_size = std::max<std::int64_t>(1, units / std::max<std::int64_t>(1, min_per_band));
  return static_cast<int>(std::min<std::int64_t>({static_cast<std::int64_t>(cores()), kMaxBands, by_size}));
}

std::int64_t band_begin(std::int64_t units, int bands, int band) { return units * band / bands; }

void for_each_band(std::int64_t units, const BandWork& work, std::int64_t min_per_band) {
  const int bands = band_count(units, min_per_band);
  run_workers(bands, [&](int band) { work(band, band_begin(units, bands, band), band_begin(units, bands, band + 1)); });
}

}  // namespace tuning
