#include "shared/parallel_fold.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

using namespace tuning;

TEST(ParallelFold, BandsCoverEveryUnitOnceWhateverTheBandCount) {
  for (std::int64_t units : {1, 63, 64, 65, 1000, 4097}) {
    std::vector<int> seen(static_cast<std::size_t>(units), 0);
    std::mutex guard;
    std::vector<int> bands;
    for_each_band(units, [&](int band, std::int64_t begin, std::int64_t end) {
      std::lock_guard<std::mutex> lock(guard);
      bands.push_back(band);
      for (std::int64_t u = begin; u < end; ++u) ++seen[static_cast<std::size_t>(u)];
    });
    EXPECT_EQ(static_cast<int>(bands.size()), band_count(units)) << units;
    for (int v : seen) ASSERT_EQ(v, 1) << units;
  }
  EXPECT_EQ(band_count(10), 1);  // never bands thinner than kMinBandRows
}

TEST(ParallelFold, EveryWorkerRunsAndTheLowestFailureIsRethrownAfterAll) {
  std::atomic<int> ran{0};
  try {
    run_workers(4, [&](int worker) {
      ++ran;
      if (worker == 3) throw std::runtime_error("worker 3");
      if (worker == 1) throw std::runtime_error("worker 1");
    });
    FAIL() << "no failure reached the caller";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "worker 1");
  }
  EXPECT_EQ(ran.load(), 4);
  EXPECT_GE(default_workers(), 1);
  EXPECT_LE(default_workers(), 2);
}
