// Splits the rows of a frame into contiguous bands worked on by parallel
// threads. Every band does the same per-row work a single pass would do, so
// results do not depend on the number of bands.
#pragma once

#include <cstdint>
#include <functional>

namespace tuning::bpc {

// Rows [begin, end) of one band; band is its index, counting from the top.
using BandWork = std::function<void(int band, std::int64_t begin, std::int64_t end)>;

// Number of bands a frame of `rows` rows is split into: one per core (at most
// kMaxBands), and never bands thinner than kMinBandRows.
int band_count(std::int64_t rows);

// Runs work on band_count(rows) bands, the first on the calling thread, and
// waits for all of them. The first failure in band order is rethrown after all
// bands have finished.
void for_each_band(std::int64_t rows, const BandWork& work);

// Row range of band `band` out of `bands`, rows split as evenly as possible.
std::int64_t band_begin(std::int64_t rows, int bands, int band);

}  // namespace tuning::bpc
