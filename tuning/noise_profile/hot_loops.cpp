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

NOISE_HOT_LOOP
void add_row_moments(const std::uint16_t* row, std::size_t width, std::uint64_t sum[2], std::uint64_t square_sum[2]) {
  std::uint64_t lane_square[kLanes] = {};
  std::size_t i = 0;
  const std::size_t vector_end = width - width % kLanes;
  while (i < vector_end) {
    std::uint32_t lane_sum[kLanes] = {};
    const std::size_t block_end = std::min(vector_end, i + kLanes * kStepsPer32BitSum);
    for (; i < block_end; i += kLanes)
      for (std::size_t j = 0; j < kLanes; ++j) {
        const std::uint32_t v = row[i + j];
        lane_sum[j] += v;
        lane_square[j] += v * v;  // 65535^2 fits 32 bits
      }
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
