#include "hot_loops.h"

#include <algorithm>
#include <cstring>

namespace tuning::noise {

namespace {
// Accumulator lanes: a multiple of every vector width, even so that lane
// parity is column parity.
constexpr std::size_t kLanes = 16;
// Sample sums of one lane stay in 32 bits for this many steps (65536 x 65535 < 2^32).
constexpr std::size_t kStepsPer32BitSum = 65536;
}  // namespace

namespace {

// Rows whose samples span fewer than kNarrowSpan levels (dark frames always)
// are summed as offsets from their lowest sample: squares below 2^24 add up
// in 32-bit lanes for kNarrowSteps steps, twice as many lanes per vector as
// the 64-bit sums a full-range row needs.
constexpr std::uint32_t kNarrowSpan = 4096;
constexpr std::size_t kNarrowSteps = 256;  // 256 x 4095^2 < 2^32

template <typename Body>
inline void for_lanes(std::size_t& i, std::size_t end, Body body) {
  for (; i < end; i += kLanes)
    for (std::size_t j = 0; j < kLanes; ++j) body(i + j, j);
}

}  // namespace

NOISE_HOT_LOOP
void add_row_moments(const std::uint16_t* row, std::size_t width, std::uint64_t sum[2], std::uint64_t square_sum[2]) {
  std::uint16_t lowest = 0xFFFF, highest = 0;
  for (std::size_t i = 0; i < width; ++i) {
    lowest = std::min(lowest, row[i]);
    highest = std::max(highest, row[i]);
  }
  const std::size_t vector_end = width - width % kLanes;
  std::size_t i = 0;
  if (width > 0 && static_cast<std::uint32_t>(highest - lowest) < kNarrowSpan) {
    // sum s = sum d + n o and sum s^2 = sum d^2 + 2 o sum d + n o^2, with d = s - o.
    const std::uint32_t offset = lowest;
    std::uint64_t offset_sum[2] = {0, 0}, offset_square[2] = {0, 0};
    while (i < vector_end) {
      std::uint32_t lane_sum[kLanes] = {}, lane_square[kLanes] = {};
      for_lanes(i, std::min(vector_end, i + kLanes * kNarrowSteps), [&](std::size_t k, std::size_t j) {
        const std::uint32_t d = row[k] - offset;
        lane_sum[j] += d;
        lane_square[j] += d * d;
      });
      for (std::size_t j = 0; j < kLanes; ++j) {
        offset_sum[j & 1] += lane_sum[j];
        offset_square[j & 1] += lane_square[j];
      }
    }
    for (; i < width; ++i) {
      const std::uint32_t d = row[i] - offset;
      offset_sum[i & 1] += d;
      offset_square[i & 1] += d * d;
    }
    for (int p = 0; p < 2; ++p) {
      const std::uint64_t count = (width + 1 - static_cast<std::size_t>(p)) / 2;
      sum[p] += offset_sum[p] + count * offset;
      square_sum[p] += offset_square[p] + 2 * offset * offset_sum[p] + count * offset * offset;
    }
    return;
  }
  std::uint64_t lane_square[kLanes] = {};
  while (i < vector_end) {
    std::uint32_t lane_sum[kLanes] = {};
    for_lanes(i, std::min(vector_end, i + kLanes * kStepsPer32BitSum), [&](std::size_t k, std::size_t j) {
      const std::uint32_t v = row[k];
      lane_sum[j] += v;
      lane_square[j] += v * v;  // 65535^2 fits 32 bits
    });
    for (std::size_t j = 0; j < kLanes; ++j) sum[j & 1] += lane_sum[j];
  }
  for (std::size_t j = 0; j < kLanes; ++j) square_sum[j & 1] += lane_square[j];
  for (; i < width; ++i) {
    const std::uint32_t v = row[i];
    sum[i & 1] += v;
    square_sum[i & 1] += v * v;
  }
}

NOISE_HOT_LOOP
void fold_samples(const std::uint16_t* samples, std::size_t count, bool first, std::uint64_t* sum,
                  std::uint64_t* square_sum) {
  if (first) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t v = samples[i];
      sum[i] = v;
      square_sum[i] = v * v;
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t v = samples[i];
    sum[i] += v;
    square_sum[i] += v * v;
  }
}

NOISE_HOT_LOOP
void fold_four_samples(const std::uint16_t* const samples[4], std::size_t count, bool first, std::uint64_t* sum,
                       std::uint64_t* square_sum) {
  const std::uint16_t *a = samples[0], *b = samples[1], *c = samples[2], *d = samples[3];
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t va = a[i], vb = b[i], vc = c[i], vd = d[i];
    const std::uint64_t s = std::uint64_t{va} + vb + vc + vd;
    const std::uint64_t q = std::uint64_t{va * va} + (vb * vb) + (vc * vc) + (vd * vd);
    sum[i] = first ? s : sum[i] + s;
    square_sum[i] = first ? q : square_sum[i] + q;
  }
}

NOISE_HOT_LOOP
LevelSpan truncated_means(const std::uint64_t* sum, std::size_t count, std::uint64_t captures, std::uint16_t* level) {
  // Integers below 2^52 become doubles by filling the mantissa of 2^52: a
  // conversion every vector unit has, unlike the unsigned 64-bit one.
  constexpr std::uint64_t kExponent52 = 0x4330000000000000ULL;
  constexpr double kTwo52 = 4503599627370496.0;
  const double divisor = static_cast<double>(captures);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t bits = sum[i] | kExponent52;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    level[i] = static_cast<std::uint16_t>(static_cast<std::int32_t>((value - kTwo52) / divisor));
  }
  std::uint16_t lowest = 0xFFFF, highest = 0;
  for (std::size_t i = 0; i < count; ++i) {
    lowest = std::min(lowest, level[i]);
    highest = std::max(highest, level[i]);
  }
  return {lowest, highest};
}

}  // namespace tuning::noise
