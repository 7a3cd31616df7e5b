#include "neighbour_stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "../shared/errors.h"
#include "../shared/parallel_fold.h"
#include "../shared/raw_capture.h"

namespace tuning::bpc {

namespace {

// The cold test works on the frame scaled down by this factor.
constexpr double kColdScale = 256.0;
// Six of the eight neighbours remain after the largest and smallest are dropped.
constexpr float kTrimmedCount = 6.0f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A neighbour as the single-tap correlation reads it: the tap accumulates onto
// a zero, which turns -0 into +0 and leaves every other value unchanged.
inline float neighbour_read(double value, double divisor) { return static_cast<float>(value / divisor) + 0.0f; }

// Reflect-101 inside a colour plane of n samples, for k in -1 .. n.
inline std::int64_t mirror(std::int64_t k, std::int64_t n) {
  if (n == 1) return 0;
  if (k < 0) return -k;
  if (k >= n) return 2 * n - 2 - k;
  return k;
}

// Full-frame index of the same-colour neighbour `step` planes positions away.
inline std::int64_t same_colour(std::int64_t pos, int step, std::int64_t size) {
  return 2 * mirror(pos / 2 + step, size / 2) + pos % 2;
}

// Four neighbouring pixels at once; every lane sees the operations of one pixel.
using Lane4 = float __attribute__((vector_size(16)));
using Mask4 = std::int32_t __attribute__((vector_size(16)));

inline Lane4 load4(const float* p) {
  Lane4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store4(float* p, Lane4 v) { std::memcpy(p, &v, sizeof v); }

inline float nan_where(bool nan, float x) { return nan ? kNaN : x; }
inline Lane4 nan_where(Mask4 nan, Lane4 x) { return nan ? Lane4{kNaN, kNaN, kNaN, kNaN} : x; }

template <typename V>
struct Stat {
  V min, max, mean;
};

inline bool any_lane(bool b) { return b; }
inline bool any_lane(Mask4 m) {
  // Two 64-bit halves: cheaper than taking the four lanes out one by one.
  std::uint64_t half[2];
  std::memcpy(half, &m, sizeof half);
  return (half[0] | half[1]) != 0;
}

// The eight values in slot order. A NaN neighbour makes every statistic NaN.
template <typename V>
inline Stat<V> stats_of(const V (&v)[8]) {
  V sum = v[0], hi = v[0], lo = v[0];
  for (int k = 1; k < 8; ++k) {
    sum += v[k];
    hi = v[k] > hi ? v[k] : hi;
    lo = v[k] < lo ? v[k] : lo;
  }
  const V mean = ((sum - hi) - lo) / kTrimmedCount;
  // A NaN neighbour always makes the sum NaN; only then look for one (the sum
  // of +inf and -inf is NaN too, with no NaN neighbour).
  if (!any_lane(sum != sum)) return {lo, hi, mean};
  auto nan = v[0] != v[0];
  for (int k = 1; k < 8; ++k) nan = nan | (v[k] != v[k]);
  return {nan_where(nan, lo), nan_where(nan, hi), nan_where(nan, mean)};
}

// Statistics of one frame row y from the neighbour reads `reads` (the whole
// frame, already in single precision).
void row_stats(const float* reads, std::int64_t height, std::int64_t width, std::int64_t y, float* min_row,
               float* max_row, float* mean_row) {
  const float* up = reads + same_colour(y, -1, height) * width;
  const float* mid = reads + y * width;
  const float* down = reads + same_colour(y, 1, height) * width;
  const auto at = [&](std::int64_t x) {
    const std::int64_t l = same_colour(x, -1, width), r = same_colour(x, 1, width);
    const float v[8] = {up[l], up[x], up[r], mid[l], down[r], mid[r], down[l], down[x]};
    const Stat<float> s = stats_of(v);
    min_row[x] = s.min;
    max_row[x] = s.max;
    mean_row[x] = s.mean;
  };
  // Columns 2 .. width-3 have unmirrored neighbours two columns either side.
  const std::int64_t inner_end = width - 2;
  std::int64_t x = 0;
  for (; x < 2 && x < width; ++x) at(x);
  for (; x + 4 <= inner_end; x += 4) {
    const Lane4 v[8] = {load4(up + x - 2),   load4(up + x),      load4(up + x + 2),   load4(mid + x - 2),
                        load4(down + x + 2), load4(mid + x + 2), load4(down + x - 2), load4(down + x)};
    const Stat<Lane4> s = stats_of(v);
    store4(min_row + x, s.min);
    store4(max_row + x, s.max);
    store4(mean_row + x, s.mean);
  }
  for (; x < width; ++x) at(x);
}

// Neighbour reads of the whole frame, img / divisor in single precision.
std::vector<float> neighbour_reads(const double* img, std::int64_t height, std::int64_t width, double divisor) {
  std::vector<float> reads(static_cast<std::size_t>(height * width));
  for_each_band(height, [&](int, std::int64_t begin, std::int64_t end) {
    for (std::int64_t i = begin * width; i < end * width; ++i) reads[i] = neighbour_read(img[i], divisor);
  });
  return reads;
}

inline bool in_border_band(std::int64_t pos, std::int64_t size) { return pos < 2 || pos >= size - 2; }

// The narrower side of the spread; NaN when either side is.
inline float narrower_side(float max, float mean, float min) {
  const float above = max - mean, below = mean - min;
  return (above != above || below != below) ? kNaN : (below < above ? below : above);
}

// Verdicts of the quick single-precision pass of the cold test.
// Held as 32-bit values, the width of the float comparisons they come from,
// so that the quick pass needs no narrowing.
using Verdict = std::int32_t;
constexpr Verdict kNotFlagged = 0, kUndecided = 1, kFlagged = 2;

// The deviation |s - mean| is decided in double precision from s = img / 256.
// Its single-precision counterpart |F - mean|, with F the neighbour read of
// s, differs from it by less than kUndecidedBand x (|F| + |mean|) (read
// rounding, subtraction rounding and the band's own rounding, each at most
// 2^-24 of that sum), so only pixels whose threshold falls inside the band
// need s itself. kUndecidedFloor covers subnormal rounding.
constexpr float kUndecidedBand = 1.0f / (1 << 20);
constexpr float kUndecidedFloor = 1e-37f;

inline Verdict quick_verdict(float read, float mean, float thr) {
  const float deviation = std::fabs(read - mean);
  const float band = (std::fabs(read) + std::fabs(mean)) * kUndecidedBand + kUndecidedFloor;
  // NaN anywhere makes both comparisons false: not flagged, as the exact test
  // decides too; an infinite read lands in kUndecided. A threshold of zero or
  // less (no spread, or a zero ratio) is met by every deviation that is a number.
  const Verdict quick = (deviation + band >= thr) + (deviation - band >= thr);
  const Verdict no_spread = kFlagged * ((thr <= 0.0f) & (read == read));
  return std::max(quick, no_spread);  // a maximum keeps the loop free of branches
}

inline void add_flag(FlaggedPixels& flags, std::int64_t y, std::int64_t x) {
  flags.rows.push_back(y);
  flags.columns.push_back(x);
}

// Appends the flagged and undecided positions of one row.
void collect_candidates(const std::vector<Verdict>& verdicts, const float* mean_row, const float* thr_row,
                        std::int64_t y, ColdCandidates& out) {
  const auto width = static_cast<std::int64_t>(verdicts.size());
  const auto take = [&](std::int64_t x) {
    if (verdicts[x] == kNotFlagged) return;
    if (verdicts[x] == kUndecided) out.undecided.push_back({out.pixels.rows.size(), mean_row[x], thr_row[x]});
    add_flag(out.pixels, y, x);
  };
  std::int64_t x = 0;
  for (; x + 4 <= width; x += 4) {
    std::uint64_t words[2];
    std::memcpy(words, verdicts.data() + x, sizeof words);
    if ((words[0] | words[1]) == 0) continue;
    for (std::int64_t k = x; k < x + 4; ++k) take(k);
  }
  for (; x < width; ++x) take(x);
}

}  // namespace

NeighbourStats win_ave(const double* img, std::int64_t height, std::int64_t width) {
  require_even_frame(height, width);
  NeighbourStats out;
  out.height = height;
  out.width = width;
  const auto size = static_cast<std::size_t>(height * width);
  out.min_val.resize(size);
  out.max_val.resize(size);
  out.mean_val.resize(size);
  const std::vector<float> reads = neighbour_reads(img, height, width, 1.0);
  for_each_band(height, [&](int, std::int64_t begin, std::int64_t end) {
    for (std::int64_t y = begin; y < end; ++y)
      row_stats(reads.data(), height, width, y, out.min_val.data() + y * width, out.max_val.data() + y * width,
                out.mean_val.data() + y * width);
  });
  return out;
}

void cold_neighbour_reads(const double* values, std::size_t count, float* reads) {
  for (std::size_t i = 0; i < count; ++i) reads[i] = neighbour_read(values[i], kColdScale);
}

FlaggedPixels get_dark_bad(const double* img, std::int64_t height, std::int64_t width, double cold_bad_ratio) {
  require_even_frame(height, width);
  const std::vector<float> reads = neighbour_reads(img, height, width, kColdScale);
  ColdCandidates candidates = cold_candidates(reads.data(), height, width, cold_bad_ratio);
  std::vector<double> values;
  for (const auto& u : candidates.undecided)
    values.push_back(img[candidates.pixels.rows[u.slot] * width + candidates.pixels.columns[u.slot]]);
  return settle_cold_candidates(std::move(candidates), values);
}

ColdCandidates cold_candidates(const float* reads, std::int64_t height, std::int64_t width, double cold_bad_ratio) {
  require_even_frame(height, width);
  const float ratio = static_cast<float>(cold_bad_ratio);
  std::vector<ColdCandidates> found(static_cast<std::size_t>(band_count(height)));
  for_each_band(height, [&](int band, std::int64_t begin, std::int64_t end) {
    std::vector<float> min_row(width), max_row(width), mean_row(width), thr_row(width);
    std::vector<Verdict> verdict(width);
    ColdCandidates& out = found[static_cast<std::size_t>(band)];
    for (std::int64_t y = begin; y < end; ++y) {
      row_stats(reads, height, width, y, min_row.data(), max_row.data(), mean_row.data());
      const float* read_row = reads + y * width;
      const bool border_row = in_border_band(y, height);
      // Branch-free over the row so that it vectorises.
      const std::int64_t row_end = width;
      for (std::int64_t x = 0; x < row_end; ++x)
        thr_row[x] = narrower_side(max_row[x], mean_row[x], min_row[x]) * ratio;
      for (std::int64_t x = 0; x < row_end; ++x) verdict[x] = quick_verdict(read_row[x], mean_row[x], thr_row[x]);
      // In the border band the deviation counts as zero: decided here, exactly.
      const auto border_verdict = [&](std::int64_t x) {
        verdict[x] = 0.0 >= static_cast<double>(thr_row[x]) ? kFlagged : kNotFlagged;
      };
      if (border_row) {
        for (std::int64_t x = 0; x < width; ++x) border_verdict(x);
      } else {
        for (std::int64_t x = 0; x < std::min<std::int64_t>(2, width); ++x) border_verdict(x);
        for (std::int64_t x = std::max<std::int64_t>(2, width - 2); x < width; ++x) border_verdict(x);
      }
      collect_candidates(verdict, mean_row.data(), thr_row.data(), y, out);
    }
  });
  ColdCandidates all;
  for (auto& part : found) {
    const std::size_t offset = all.pixels.rows.size();
    for (auto u : part.undecided) {
      u.slot += offset;
      all.undecided.push_back(u);
    }
    all.pixels.rows.insert(all.pixels.rows.end(), part.pixels.rows.begin(), part.pixels.rows.end());
    all.pixels.columns.insert(all.pixels.columns.end(), part.pixels.columns.begin(), part.pixels.columns.end());
  }
  return all;
}

FlaggedPixels settle_cold_candidates(ColdCandidates candidates, const std::vector<double>& values) {
  if (values.size() != candidates.undecided.size())
    throw AssertionFailure(
        "settle_cold_candidates needs one value per undecided pixel: " + std::to_string(candidates.undecided.size()) +
        " undecided, " + std::to_string(values.size()) + " values");
  FlaggedPixels& pixels = candidates.pixels;
  std::vector<bool> rejected(pixels.rows.size(), false);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto& u = candidates.undecided[i];
    const double deviation = std::fabs(values[i] / kColdScale - static_cast<double>(u.mean));
    rejected[u.slot] = !(deviation >= static_cast<double>(u.thr));
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pixels.rows.size(); ++i) {
    if (rejected[i]) continue;
    pixels.rows[kept] = pixels.rows[i];
    pixels.columns[kept] = pixels.columns[i];
    ++kept;
  }
  pixels.rows.resize(kept);
  pixels.columns.resize(kept);
  return std::move(pixels);
}

}  // namespace tuning::bpc
