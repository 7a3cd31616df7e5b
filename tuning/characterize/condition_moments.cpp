#include "condition_moments.h"

#include <algorithm>

#include "../shared/errors.h"

namespace tuning::characterize {

namespace {

// A band's two sums plus one capture's samples stay within a core's cache.
constexpr std::int64_t kBandBytes = 256 * 1024;
constexpr std::size_t kLevelCount = 65536;

std::int64_t band_rows(std::int64_t width) {
  const std::int64_t rows = kBandBytes / (18 * std::max<std::int64_t>(width, 1));
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

void fold_condition(const CaptureSet& set, std::int64_t height, std::int64_t width,
                    const std::function<void(const PixelBand&)>& visit) {
  if (set.count < 1 || set.count > kMaxCaptures)
    throw AssertionFailure("a condition needs 1 to " + std::to_string(kMaxCaptures) + " captures, found " +
                           std::to_string(set.count));
  require_even_frame(height, width);
  const std::int64_t rows_per_band = band_rows(width);
  const std::size_t band_size = static_cast<std::size_t>(std::min(rows_per_band, height) * width);
  std::vector<std::uint64_t> sum(band_size), square_sum(band_size);
  std::vector<std::uint16_t> samples(band_size);
  for (std::int64_t first = 0; first < height; first += rows_per_band) {
    const std::int64_t rows = std::min(rows_per_band, height - first);
    const std::size_t size = static_cast<std::size_t>(rows * width);
    for (std::int64_t i = 0; i < set.count; ++i) {
      set.read(i, first, rows, samples.data());
      const std::uint16_t* s = samples.data();
      if (i == 0) {
        for (std::size_t x = 0; x < size; ++x) {
          sum[x] = s[x];
          square_sum[x] = std::uint32_t{s[x]} * s[x];
        }
      } else {
        for (std::size_t x = 0; x < size; ++x) {
          sum[x] += s[x];
          square_sum[x] += std::uint32_t{s[x]} * s[x];
        }
      }
    }
    visit({first, rows, width, set.count, sum.data(), square_sum.data()});
  }
}

void UniformMoments::add(const PixelBand& band) {
  captures_ = band.captures;
  const auto n = static_cast<std::uint64_t>(band.captures);
  for (std::int64_t r = 0; r < band.rows; ++r) {
    const int parity = static_cast<int>((band.first_row + r) & 1);
    const std::uint64_t* sum = band.sum + r * band.width;
    const std::uint64_t* square_sum = band.square_sum + r * band.width;
    for (int q = 0; q < 2; ++q) {
      unsigned __int128 s1 = 0, s1_squares = 0, spread = 0;
      for (std::int64_t x = q; x < band.width; x += 2) {
        s1 += sum[x];
        s1_squares += static_cast<unsigned __int128>(sum[x]) * sum[x];
        spread += spread_of(n, sum[x], square_sum[x]);
      }
      Totals& t = cells_[2 * parity + q];
      t.pixels += static_cast<std::uint64_t>((band.width - q + 1) / 2);
      t.sum += s1;
      t.sum_squares += s1_squares;
      t.spread += spread;
    }
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
  for (Cell& c : cells_) c.levels.resize(kLevelCount);
}

void LevelMoments::add(const PixelBand& band) {
  captures_ = band.captures;
  const auto n = static_cast<std::uint64_t>(band.captures);
  const double inverse = 1.0 / static_cast<double>(n);
  for (std::int64_t r = 0; r < band.rows; ++r) {
    const int parity = static_cast<int>((band.first_row + r) & 1);
    const std::uint64_t* sum = band.sum + r * band.width;
    const std::uint64_t* square_sum = band.square_sum + r * band.width;
    for (std::int64_t x = 0; x < band.width; ++x) {
      // Truncated mean without a division: the estimate is off by at most one.
      std::uint64_t v = static_cast<std::uint64_t>(static_cast<double>(sum[x]) * inverse);
      if (v * n > sum[x]) --v;
      if ((v + 1) * n <= sum[x]) ++v;
      Cell& cell = cells_[2 * parity + static_cast<int>(x & 1)];
      Level& level = cell.levels[v];
      ++level.pixels;
      level.sum += sum[x];
      level.spread += spread_of(n, sum[x], square_sum[x]);
      if (cell.lo > cell.hi) {
        cell.lo = cell.hi = v;
      } else {
        cell.lo = std::min<std::size_t>(cell.lo, v);
        cell.hi = std::max<std::size_t>(cell.hi, v);
      }
    }
  }
}

}  // namespace tuning::characterize
