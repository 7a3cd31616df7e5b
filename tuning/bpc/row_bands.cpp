#include "row_bands.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace tuning::bpc {

namespace {

// Two cores are what the calibration PCs have; more bands than cores only
// adds thread start-up cost.
constexpr int kMaxBands = 4;

}  // namespace

int band_count(std::int64_t units, std::int64_t min_per_band) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const std::int64_t by_size = std::max<std::int64_t>(1, units / std::max<std::int64_t>(1, min_per_band));
  return static_cast<int>(std::min<std::int64_t>({cores, kMaxBands, by_size}));
}

std::int64_t band_begin(std::int64_t rows, int bands, int band) { return rows * band / bands; }

void for_each_band(std::int64_t rows, const BandWork& work, std::int64_t min_per_band) {
  const int bands = band_count(rows, min_per_band);
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(bands));
  const auto run = [&](int band) {
    try {
      work(band, band_begin(rows, bands, band), band_begin(rows, bands, band + 1));
    } catch (...) {
      failures[static_cast<std::size_t>(band)] = std::current_exception();
    }
  };
  std::vector<std::thread> helpers;
  try {
    for (int band = 1; band < bands; ++band) helpers.emplace_back(run, band);
  } catch (const std::system_error&) {
    // No thread to spare: the bands not started run here instead.
  }
  for (int band = static_cast<int>(helpers.size()) + 1; band < bands; ++band) run(band);
  run(0);
  for (auto& t : helpers) t.join();
  for (const auto& failure : failures)
    if (failure) std::rethrow_exception(failure);
}

}  // namespace tuning::bpc
