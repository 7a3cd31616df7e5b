#include "level_histograms.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "hot_loops.h"

namespace tuning::noise {

namespace {

std::int64_t floor_half(std::int64_t v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

}  // namespace

PlaneRect plane_rect(std::int64_t top, std::int64_t left, std::int64_t bottom, std::int64_t right,
                     std::int64_t plane_rows, std::int64_t plane_cols) {
  PlaneRect r;
  r.y0 = std::max<std::int64_t>(floor_half(top), 0);
  r.x0 = std::max<std::int64_t>(floor_half(left), 0);
  r.y1 = std::min(floor_half(bottom), plane_rows);
  r.x1 = std::min(floor_half(right), plane_cols);
  return r;
}

LevelHistograms::LevelHistograms(std::vector<PlaneRect> regions) : regions_(std::move(regions)) {}

void LevelHistograms::add(const CaptureBand& band) {
  const auto captures = static_cast<std::uint64_t>(band.num);
  captures_ = captures;
  levels_.resize(static_cast<std::size_t>(band.width));
  for (std::int64_t r = 0; r < band.rows; ++r) {
    const std::int64_t row = band.first_row + r;
    const std::int64_t plane_row = row / 2;
    const int parity = static_cast<int>(row & 1);
    const std::uint64_t* sum = band.sum + r * band.width;
    const std::uint64_t* square_sum = band.square_sum + r * band.width;
    truncated_means(sum, static_cast<std::size_t>(band.width), captures, levels_.data());
    Bins* row_cells = &cells_[2 * parity];
    for (std::int64_t x = 0; x < band.width; ++x) ++row_cells[x & 1].plane[levels_[static_cast<std::size_t>(x)]];
    for (int q = 0; q < 2; ++q) row_cells[q].plane_pixels += static_cast<std::uint64_t>((band.width + 1 - q) / 2);

    for (const PlaneRect& region : regions_) {
      if (plane_row < region.y0 || plane_row >= region.y1) continue;
      for (std::int64_t x = 2 * region.x0; x < 2 * region.x1; ++x) {
        const std::uint64_t level = levels_[static_cast<std::size_t>(x)];
        // sum((s - v)^2) = square_sum - 2 v sum + n v^2: computed modulo 2^64,
        // it is exact because the true value is below 2^64 (n x 65535^2).
        const std::uint64_t spread = square_sum[x] - 2 * level * sum[x] + captures * level * level;
        Bins& bins = row_cells[x & 1];
        bins.spread[level] += spread;
        ++bins.pixels[level];
      }
    }
  }
}

void LevelHistograms::merge(const LevelHistograms& other) {
  if (other.captures_ != 0) captures_ = other.captures_;
  for (int c = 0; c < kCellPositions; ++c) {
    Bins& to = cells_[c];
    const Bins& from = other.cells_[c];
    for (std::size_t v = 0; v < kLevelCount; ++v) {
      to.pixels[v] += from.pixels[v];
      to.spread[v] += from.spread[v];
      to.plane[v] += from.plane[v];
    }
    to.plane_pixels += from.plane_pixels;
  }
}

double LevelHistograms::variance_about_level(int cell, std::size_t level) const {
  const Bins& bins = cells_[cell];
  return static_cast<double>(static_cast<long double>(bins.spread[level]) /
                             static_cast<long double>(freq(cell, level)));
}

std::uint16_t LevelHistograms::nth_plane_level(int cell, std::uint64_t rank) const {
  const auto& plane = cells_[cell].plane;
  std::uint64_t seen = 0;
  for (std::size_t v = 0; v < kLevelCount; ++v) {
    seen += plane[v];
    if (seen > rank) return static_cast<std::uint16_t>(v);
  }
  return static_cast<std::uint16_t>(kLevelCount - 1);
}

double LevelHistograms::plane_percentile(int cell, double q) const {
  const std::uint64_t n = cells_[cell].plane_pixels;
  if (n == 0) return std::nan("");
  const double t = q / 100.0 * static_cast<double>(n - 1);
  const std::uint64_t below = static_cast<std::uint64_t>(std::floor(t));
  const double lower = nth_plane_level(cell, below);
  const double upper = below + 1 < n ? nth_plane_level(cell, below + 1) : lower;
  return lower + (upper - lower) * (t - static_cast<double>(below));
}

}  // namespace tuning::noise
