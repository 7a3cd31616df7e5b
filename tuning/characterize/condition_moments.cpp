#include "condition_moments.h"

#include <algorithm>
#include <atomic>

#include "../noise_profile/hot_loops.h"
#include "../shared/errors.h"
#include "../shared/parallel_fold.h"

namespace tuning::characterize {

namespace {

// A band's two sums plus four captures' samples stay within a core's cache.
constexpr std::int64_t kBandBytes = 512 * 1024;
constexpr std::size_t kLevelCount = 65536;
// Captures folded per pass over a band's sums.
constexpr std::int64_t kFoldWidth = 4;

std::int64_t band_rows(std::int64_t width) {
  const std::int64_t rows = kBandBytes / (24 * std::max<std::int64_t>(width, 1));
  return std::max<std::int64_t>(2, rows & ~std::int64_t{1});
}

// n S2 - S1^2 of one pixel: at most n^2 65535^2 / 4, below 2^63 for n up to
// kMaxCaptures, and never negative (Cauchy-Schwarz), so 64 bits are exact.
std::uint64_t spread_of(std::uint64_t n, std::uint64_t sum, std::uint64_t square_sum) {
  return n * square_sum - sum * sum;
}

double ratio(unsigned __int128 num, long double den) {
  return static_cast<double>(static_cast<long double>(num) / den);
}

}  // namespace

void fold_condition(const CaptureSet& set, std::int64_t height, std::int64_t width, int workers,
                    const std::function<void(const PixelBand&, int worker)>& visit) {
  if (set.count < 1 || set.count > kMaxCaptures)
    throw AssertionFailure("a condition needs 1 to " + std::to_string(kMaxCaptures) + " captures, found " +
                           std::to_string(set.count));
  require_even_frame(height, width);
  const std::int64_t rows_per_band = band_rows(width);
  const std::int64_t bands = (height + rows_per_band - 1) / rows_per_band;
  const auto band_size = static_cast<std::size_t>(std::min(rows_per_band, height) * width);
  std::atomic<std::int64_t> next{0};
  std::atomic<bool> failed{false};
  tuning::run_workers(std::max(1, std::min<int>(workers, static_cast<int>(bands))), [&](int worker) {
    std::vector<std::uint64_t> sum(band_size), square_sum(band_size);
    std::vector<std::uint16_t> samples(kFoldWidth * band_size);
    try {
      for (std::int64_t b = next++; b < bands && !failed; b = next++) {
        const std::int64_t first = b * rows_per_band;
        const std::int64_t rows = std::min(rows_per_band, height - first);
        const auto size = static_cast<std::size_t>(rows * width);
        std::int64_t i = 0;
        for (; i + kFoldWidth <= set.count; i += kFoldWidth) {
          const std::uint16_t* four[kFoldWidth];
          for (std::int64_t j = 0; j < kFoldWidth; ++j) {
            std::uint16_t* out = samples.data() + static_cast<std::size_t>(j) * band_size;
            set.read(i + j, first, rows, out);
            four[j] = out;
          }
          noise::fold_four_samples(four, size, i == 0, sum.data(), square_sum.data());
        }
        for (; i < set.count; ++i) {
          set.read(i, first, rows, samples.data());
          noise::fold_samples(samples.data(), size, i == 0, sum.data(), square_sum.data());
        }
        visit({first, rows, width, set.count, sum.data(), square_sum.data()}, worker);
      }
    } catch (...) {
      failed = true;
      throw;
    }
  });
}

namespace {

// Per-row totals of one cell position in Acc: 64 bits while a row's squared
// pixel sums cannot overflow them, else 128.
template <typename Acc>
void add_row(const std::uint64_t* sum, const std::uint64_t* square_sum, std::int64_t begin, std::int64_t end,
             std::uint64_t n, unsigned __int128& s1, unsigned __int128& s1_squares, unsigned __int128& spread) {
  Acc a = 0, b = 0, c = 0;
  for (std::int64_t x = begin; x < end; x += 2) {
    a += sum[x];
    b += static_cast<Acc>(sum[x]) * sum[x];
    c += spread_of(n, sum[x], square_sum[x]);
  }
  s1 += a;
  s1_squares += b;
  spread += c;
}

}  // namespace

void UniformMoments::add(const PixelBand& band) {
  captures_ = band.captures;
  const auto n = static_cast<std::uint64_t>(band.captures);
  // Half a row of pixel sums, each up to n 65535, squared and added.
  const long double row_bound = static_cast<long double>(band.width / 2 + 1) * n * n * 65535.0L * 65535.0L;
  const bool narrow = row_bound < 1.8e19L;
  for (std::int64_t r = 0; r < band.rows; ++r) {
    const int parity = static_cast<int>((band.first_row + r) & 1);
    const std::uint64_t* sum = band.sum + r * band.width;
    const std::uint64_t* square_sum = band.square_sum + r * band.width;
    for (int q = 0; q < 2; ++q) {
      Totals& t = cells_[2 * parity + q];
      if (narrow)
        add_row<std::uint64_t>(sum, square_sum, q, band.width, n, t.sum, t.sum_squares, t.spread);
      else
        add_row<unsigned __int128>(sum, square_sum, q, band.width, n, t.sum, t.sum_squares, t.spread);
      t.pixels += static_cast<std::uint64_t>((band.width - q + 1) / 2);
    }
  }
}

void UniformMoments::merge(const UniformMoments& other) {
  if (other.captures_ != 0) captures_ = other.captures_;
  for (int c = 0; c < kCellPositions; ++c) {
    cells_[c].pixels += other.cells_[c].pixels;
    cells_[c].sum += other.cells_[c].sum;
    cells_[c].sum_squares += other.cells_[c].sum_squares;
    cells_[c].spread += other.cells_[c].spread;
  }
}

double UniformMoments::mean(int cell) const {
  const Totals& t = cells_[cell];
  return ratio(t.sum, static_cast<long double>(t.pixels) * captures_);
}

double UniformMoments::temporal_variance(int cell) const {
  const Totals& t = cells_[cell];
  const long double n = captures_;
  return ratio(t.spread, static_cast<long double>(t.pixels) * n * (n - 1));
}

double UniformMoments::mean_frame_variance(int cell) const {
  const Totals& t = cells_[cell];
  // P sum(S1^2) - (sum S1)^2 is exact in 128 bits for any frame this core reads.
  const unsigned __int128 p = t.pixels;
  const unsigned __int128 spread = p * t.sum_squares - t.sum * t.sum;
  const long double n = captures_;
  return ratio(spread, static_cast<long double>(t.pixels) * (static_cast<long double>(t.pixels) - 1) * n * n);
}

LevelMoments::LevelMoments() {
  for (Cell& c : cells_) {
    c.levels.resize(2 * kLevelCount);
    c.dark.resize(2 * kLevelCount);
  }
}

LevelMoments::Level LevelMoments::level(int cell, std::size_t value) const {
  const Cell& c = cells_[cell];
  const Bin& a = c.levels[2 * value];
  const Bin& b = c.levels[2 * value + 1];
  return {a.pixels + b.pixels, a.sum + b.sum, c.dark[2 * value] + c.dark[2 * value + 1], a.spread + b.spread};
}

void LevelMoments::add(const PixelBand& band, const DarkFrame& dark) {
  captures_ = band.captures;
  const auto n = static_cast<std::uint64_t>(band.captures);
  row_levels_.resize(static_cast<std::size_t>(band.width));
  for (std::int64_t r = 0; r < band.rows; ++r) {
    const int parity = static_cast<int>((band.first_row + r) & 1);
    const std::uint64_t* sum = band.sum + r * band.width;
    const std::uint64_t* square_sum = band.square_sum + r * band.width;
    const std::uint32_t* dark_sum = dark.sums.data() + (band.first_row + r) * band.width;
    const noise::LevelSpan span =
        noise::truncated_means(sum, static_cast<std::size_t>(band.width), n, row_levels_.data());
    for (int q = 0; q < 2; ++q) {
      Cell& cell = cells_[2 * parity + q];
      for (std::int64_t x = q; x < band.width; x += 2) {
        const std::size_t bin = 2 * std::size_t{row_levels_[static_cast<std::size_t>(x)]} + ((x >> 1) & 1);
        Bin& level = cell.levels[bin];
        ++level.pixels;
        level.sum += sum[x];
        cell.dark[bin] += dark_sum[x];
        level.spread += spread_of(n, sum[x], square_sum[x]);
      }
      // The span of the whole row bounds both cell positions' levels.
      if (cell.lo > cell.hi) {
        cell.lo = span.lowest;
        cell.hi = span.highest;
      } else {
        cell.lo = std::min<std::size_t>(cell.lo, span.lowest);
        cell.hi = std::max<std::size_t>(cell.hi, span.highest);
      }
    }
  }
}

void LevelMoments::merge(const LevelMoments& other) {
  if (other.captures_ != 0) captures_ = other.captures_;
  for (int c = 0; c < kCellPositions; ++c) {
    const Cell& from = other.cells_[c];
    if (from.lo > from.hi) continue;
    Cell& to = cells_[c];
    for (std::size_t i = 2 * from.lo; i <= 2 * from.hi + 1; ++i) {
      to.levels[i].pixels += from.levels[i].pixels;
      to.levels[i].sum += from.levels[i].sum;
      to.dark[i] += from.dark[i];
      to.levels[i].spread += from.levels[i].spread;
    }
    const bool empty = to.lo > to.hi;
    to.lo = empty ? from.lo : std::min(to.lo, from.lo);
    to.hi = empty ? from.hi : std::max(to.hi, from.hi);
  }
}

void LevelMoments::reset() {
  for (Cell& c : cells_) {
    if (c.lo <= c.hi) {
      const auto first = static_cast<std::ptrdiff_t>(2 * c.lo), end = static_cast<std::ptrdiff_t>(2 * c.hi) + 2;
      std::fill(c.levels.begin() + first, c.levels.begin() + end, Bin{});
      std::fill(c.dark.begin() + first, c.dark.begin() + end, 0);
    }
    c.lo = 1;
    c.hi = 0;
  }
  captures_ = 0;
}

}  // namespace tuning::characterize
