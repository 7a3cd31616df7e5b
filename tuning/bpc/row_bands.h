// Splits the rows of a frame (or any run of independent work units) into
// contiguous bands worked on by parallel threads. Every band does the same
// per-unit work a single pass would do, so results do not depend on the
// number of bands.
#pragma once

#include <cstdint>
#include <functional>

namespace tuning::bpc {

// Rows [begin, end) of one band; band is its index, counting from the top.
using BandWork = std::function<void(int band, std::int64_t begin, std::int64_t end)>;

// Thin bands cost more in thread start-up than they save.
inline constexpr std::int64_t kMinBandRows = 64;

// Number of bands `units` units are split into: one per core (at most
// kMaxBands), and never bands thinner than min_per_band.
int band_count(std::int64_t units, std::int64_t min_per_band = kMinBandRows);

// Runs work on band_count(units, min_per_band) bands, the first on the calling
// thread, and waits for all of them. The first failure in band order is
// rethrown after all bands have finished.
void for_each_band(std::int64_t units, const BandWork& work, std::int64_t min_per_band = kMinBandRows);

// First unit of band `band` out of `bands`, units split as evenly as possible.
std::int64_t band_begin(std::int64_t rows, int bands, int band);

}  // namespace tuning::bpc
