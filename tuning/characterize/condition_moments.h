// Exact moments of one condition's captures: per-pixel sums over the captures
// are formed a band of rows at a time and handed on, so memory holds one band
// of sums whatever the number of captures or the frame size.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "../shared/raw_capture.h"
#include "capture_source.h"

namespace tuning::characterize {

// Sums over `captures` captures of rows [first_row, first_row + rows).
struct PixelBand {
  std::int64_t first_row = 0;  // even
  std::int64_t rows = 0;
  std::int64_t width = 0;
  std::int64_t captures = 0;
  const std::uint64_t* sum = nullptr;         // per pixel: sum of samples
  const std::uint64_t* square_sum = nullptr;  // per pixel: sum of squared samples
};

// Reads every capture of the set once, band by band, on up to `workers`
// threads, and calls visit(band, worker) for each band, in no fixed order;
// each worker index is used by one thread at a time. The set must have 1 to
// kMaxCaptures captures. A reader's exception stops the other workers and
// reaches the caller.
void fold_condition(const CaptureSet& set, std::int64_t height, std::int64_t width, int workers,
                    const std::function<void(const PixelBand&, int worker)>& visit);

// Per cell position, over the pixels of a uniformly lit (or dark) frame:
// pixel count, sum of the pixel sums S1, sum of S1^2, and the sum of the
// pixels' spreads n S2 - S1^2 (n times the squared deviations from each
// pixel's own mean). Integers: no rounding however much is added.
class UniformMoments {
 public:
  void add(const PixelBand& band);
  void merge(const UniformMoments& other);

  std::uint64_t pixels(int cell) const { return cells_[cell].pixels; }
  std::int64_t captures() const { return captures_; }
  // Mean sample value (DN).
  double mean(int cell) const;
  // Temporal variance: the unbiased variance over the captures (divisor
  // n - 1) of each pixel, averaged over the pixels (DN^2).
  double temporal_variance(int cell) const;
  // Unbiased variance over the pixels (divisor pixels - 1) of the pixels'
  // means over the captures (DN^2); it still holds temporal_variance / n.
  double mean_frame_variance(int cell) const;

 private:
  struct Totals {
    std::uint64_t pixels = 0;
    unsigned __int128 sum = 0;
    unsigned __int128 sum_squares = 0;
    unsigned __int128 spread = 0;
  };
  std::array<Totals, kCellPositions> cells_{};
  std::int64_t captures_ = 0;
};

// Every pixel's sum over the dark captures of a gain, row by row (at most
// kMaxCaptures of 16-bit samples: 32 bits hold it).
struct DarkFrame {
  std::vector<std::uint32_t> sums;
  std::int64_t captures = 0;
};

// The same totals per 16-bit level, a pixel's level being its mean over the
// captures truncated to an integer: a still scene of many brightness levels
// gives one photon transfer point per level. Each level also sums its pixels'
// dark sums, so that its signal is read above those pixels' own dark level.
class LevelMoments {
 public:
  LevelMoments();
  // dark holds a sum for every pixel of the frame the band comes from.
  void add(const PixelBand& band, const DarkFrame& dark);
  void merge(const LevelMoments& other);
  // Empties the levels for the next condition, touching only those used: far
  // cheaper than fresh zeroed memory (the bins take 16 MiB).
  void reset();

  struct Level {
    std::uint64_t pixels = 0;
    std::uint64_t sum = 0;         // of the pixel sums S1
    std::uint64_t dark = 0;        // of the pixels' sums over the dark captures
    unsigned __int128 spread = 0;  // of n S2 - S1^2
  };
  Level level(int cell, std::size_t value) const;
  std::int64_t captures() const { return captures_; }
  // Levels [lowest, highest] hold every pixel added (lowest > highest: none).
  std::size_t lowest(int cell) const { return cells_[cell].lo; }
  std::size_t highest(int cell) const { return cells_[cell].hi; }

 private:
  struct Bin {
    std::uint64_t pixels = 0;
    std::uint64_t sum = 0;
    unsigned __int128 spread = 0;
  };
  struct Cell {
    // Two bins per level, side by side, taken in turns by a cell's
    // neighbouring pixels: pixels of one level then do not wait on each
    // other's update of the same bin. A level is the sum of its two.
    std::vector<Bin> levels;
    // The bins' dark sums, apart: a bin of the other three fields is half a
    // cache line, and stays so.
    std::vector<std::uint64_t> dark;
    std::size_t lo = 1;
    std::size_t hi = 0;
  };
  std::array<Cell, kCellPositions> cells_;
  std::int64_t captures_ = 0;
  std::vector<std::uint16_t> row_levels_;  // scratch: one band row of truncated means
};

}  // namespace tuning::characterize
