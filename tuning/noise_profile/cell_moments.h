// Exact first and second moments of the samples of each Bayer cell position.
#pragma once

#include <array>
#include <cstdint>

#include "../shared/raw_capture.h"
#include "capture_bands.h"

namespace tuning::noise {

// Integer totals: no rounding however many samples are added, and the
// variance is formed from them in one division (no cancellation of two
// large, separately rounded means).
class CellMoments {
 public:
  // Adds every sample of the rows (rows.first_row must be even).
  void add(const CaptureRows& rows);
  void merge(const CellMoments& other);

  std::uint64_t count(int cell) const { return count_[cell]; }
  double mean(int cell) const;
  // Population variance (divisor: the sample count) about the common mean.
  double variance(int cell) const;

 private:
  std::array<unsigned __int128, kCellPositions> sum_{};
  std::array<unsigned __int128, kCellPositions> square_sum_{};
  std::array<std::uint64_t, kCellPositions> count_{};
};

}  // namespace tuning::noise
