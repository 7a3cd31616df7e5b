#include "level_histograms.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "hot_loops.h"

namespace tuning::noise {

namespace {

std::int64_t floor_half(std::int64_t v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

// Counts the levels at begin, begin + 2, ... below end. Two counters take
// turns so that neighbouring pixels of one level do not wait on each other's
// update of the same bin; plane holds them side by side (2 per level).
void count_levels(const std::uint16_t* levels, std::int64_t begin, std::int64_t end, std::uint32_t* plane) {
  std::int64_t x = begin;
  for (; x + 2 < end; x += 4) {
    ++plane[2 * levels[x]];
    ++plane[2 * levels[x + 2] + 1];
  }
  for (; x < end; x += 2) ++plane[2 * levels[x]];
}

// Adds the pixels at begin, begin + 2, ... below end to the bins of their
// levels: one pixel and sum((s - v)^2) over its samples. Like count_levels,
// neighbouring pixels alternate between two bin sets.
void bin_spreads(const std::uint16_t* levels, const std::uint64_t* sum, const std::uint64_t* square_sum,
                 std::int64_t begin, std::int64_t end, std::uint64_t captures, std::uint64_t* pixels,
                 unsigned __int128* spread) {
  // square_sum - 2 v sum + n v^2 is computed modulo 2^64; it is exact because
  // the true value is below 2^64 (n x 65535^2 for fewer than 2^32 captures).
  const auto spread_at = [&](std::int64_t x) {
    const std::uint64_t v = levels[x];
    return square_sum[x] - 2 * v * sum[x] + captures * v * v;
  };
  std::int64_t x = begin;
  for (; x + 2 < end; x += 4) {
    const std::size_t a = 2 * std::size_t{levels[x]}, b = 2 * std::size_t{levels[x + 2]} + 1;
    spread[a] += spread_at(x);
    ++pixels[a];
    spread[b] += spread_at(x + 2);
    ++pixels[b];
  }
  for (; x < end; x += 2) {
    const std::size_t a = 2 * std::size_t{levels[x]};
    spread[a] += spread_at(x);
    ++pixels[a];
  }
}

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
    const LevelSpan span = truncated_means(sum, static_cast<std::size_t>(band.width), captures, levels_.data());
    for (int q = 0; q < 2; ++q) {
      Bins& bins = cells_[2 * parity + q];
      bins.lo = std::min<std::size_t>(bins.lo, span.lowest);
      bins.hi = std::max<std::size_t>(bins.hi, span.highest + std::size_t{1});
      count_levels(levels_.data(), q, band.width, bins.plane.data());
      bins.plane_pixels += static_cast<std::uint64_t>((band.width + 1 - q) / 2);
    }

    for (const PlaneRect& region : regions_) {
      if (plane_row < region.y0 || plane_row >= region.y1) continue;
      for (int q = 0; q < 2; ++q) {
        Bins& bins = cells_[2 * parity + q];
        bin_spreads(levels_.data(), sum, square_sum, 2 * region.x0 + q, 2 * region.x1, captures, bins.pixels.data(),
                    bins.spread.data());
      }
    }
  }
}

void LevelHistograms::merge(const LevelHistograms& other) {
  if (other.captures_ != 0) captures_ = other.captures_;
  for (int c = 0; c < kCellPositions; ++c) {
    Bins& to = cells_[c];
    const Bins& from = other.cells_[c];
    for (std::size_t i = 2 * from.lo; i < 2 * from.hi; ++i) {
      to.pixels[i] += from.pixels[i];
      to.spread[i] += from.spread[i];
      to.plane[i] += from.plane[i];
    }
    to.plane_pixels += from.plane_pixels;
    to.lo = std::min(to.lo, from.lo);
    to.hi = std::max(to.hi, from.hi);
  }
}

void LevelHistograms::reset() {
  for (Bins& bins : cells_) {
    if (bins.lo < bins.hi) {
      const auto lo = static_cast<std::ptrdiff_t>(2 * bins.lo), hi = static_cast<std::ptrdiff_t>(2 * bins.hi);
      std::fill(bins.pixels.begin() + lo, bins.pixels.begin() + hi, 0);
      std::fill(bins.spread.begin() + lo, bins.spread.begin() + hi, 0);
      std::fill(bins.plane.begin() + lo, bins.plane.begin() + hi, 0);
    }
    bins.plane_pixels = 0;
    bins.lo = kLevelCount;
    bins.hi = 0;
  }
  captures_ = 0;
}

double LevelHistograms::variance_about_level(int cell, std::size_t level) const {
  const Bins& bins = cells_[cell];
  const unsigned __int128 spread = bins.spread[2 * level] + bins.spread[2 * level + 1];
  return static_cast<double>(static_cast<long double>(spread) / static_cast<long double>(freq(cell, level)));
}

std::uint16_t LevelHistograms::nth_plane_level(int cell, std::uint64_t rank) const {
  const auto& plane = cells_[cell].plane;
  std::uint64_t seen = 0;
  for (std::size_t v = cells_[cell].lo; v < cells_[cell].hi; ++v) {
    seen += static_cast<std::uint64_t>(plane[2 * v]) + plane[2 * v + 1];
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
