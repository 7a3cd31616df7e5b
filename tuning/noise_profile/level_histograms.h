// Statistics of one gain's captures grouped by signal level: for each Bayer
// cell position, pixels are binned by their temporal mean truncated to a
// 16-bit level, in one pass over the bands of per-pixel sums.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "../shared/raw_capture.h"
#include "capture_bands.h"

namespace tuning::noise {

// A region in cell-plane coordinates, [y0, y1) x [x0, x1), already clipped.
struct PlaneRect {
  std::int64_t y0 = 0, x0 = 0, y1 = 0, x1 = 0;
};

// A full-resolution region [top, bottom) x [left, right) halved to cell-plane
// coordinates by floor division and clipped to plane_rows x plane_cols; an
// empty result stays (it bins nothing).
PlaneRect plane_rect(std::int64_t top, std::int64_t left, std::int64_t bottom, std::int64_t right,
                     std::int64_t plane_rows, std::int64_t plane_cols);

constexpr std::size_t kLevelCount = 65536;  // one bin per 16-bit level

class LevelHistograms {
 public:
  explicit LevelHistograms(std::vector<PlaneRect> regions);

  // Bins the pixels of a band (first_row even). Every pixel of the plane goes
  // into the plane histogram; pixels inside the regions go into the level
  // bins once per region that holds them.
  void add(const CaptureBand& band);
  void merge(const LevelHistograms& other);
  // Empties every bin for the next gain; only the levels used are cleared.
  void reset();

  // Samples (pixels x captures) whose pixel mean truncates to `level`, counted
  // over the regions.
  std::uint64_t freq(int cell, std::size_t level) const {
    return (cells_[cell].pixels[2 * level] + cells_[cell].pixels[2 * level + 1]) * captures_;
  }
  // Mean of (sample - level)^2 over those samples; requires freq > 0.
  double variance_about_level(int cell, std::size_t level) const;
  // q-th percentile (0..100) of the truncated pixel means of the whole cell
  // plane, interpolated linearly between the two nearest ranks.
  double plane_percentile(int cell, double q) const;

 private:
  struct Bins {
    // Two bins per level, side by side, filled in turns by neighbouring pixels
    // (see count_levels); a level's value is the sum of its two.
    // Over the regions: pixels whose mean truncates to the level (with
    // multiplicity), and the sum over their samples of (sample - level)^2.
    std::vector<std::uint64_t> pixels = std::vector<std::uint64_t>(2 * kLevelCount);
    std::vector<unsigned __int128> spread = std::vector<unsigned __int128>(2 * kLevelCount);
    // Over the whole plane, no multiplicity; 32 bits while a plane has fewer
    // than 2^32 pixels.
    std::vector<std::uint32_t> plane = std::vector<std::uint32_t>(2 * kLevelCount);
    std::uint64_t plane_pixels = 0;
    // Levels [lo, hi) hold everything added: merges and resets touch no others.
    std::size_t lo = kLevelCount;
    std::size_t hi = 0;
  };
  std::uint16_t nth_plane_level(int cell, std::uint64_t rank) const;

  std::vector<PlaneRect> regions_;
  std::array<Bins, kCellPositions> cells_;
  std::uint64_t captures_ = 0;
  std::vector<std::uint16_t> levels_;  // scratch: one band row of truncated means
};

}  // namespace tuning::noise
