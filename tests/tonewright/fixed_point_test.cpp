// The shared primitives: LUT expansion, knot resampling, the log table,
// quantisation, blending weights and the dither generator.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "fixed_point.h"

using namespace tonewright;

namespace {

LutDescriptor descriptor(const std::vector<int32_t>& knots, const std::vector<uint32_t>& ends,
                         const std::vector<uint32_t>& shifts) {
  LutDescriptor d;
  d.knots = knots.data();
  d.seg_end = ends.data();
  d.seg_shift = shifts.data();
  d.seg_count = uint16_t(shifts.size());
  d.knot_count = uint16_t(knots.size());
  return d;
}

}  // namespace

TEST(SegmentedLut, SingleUnitSegmentCopiesKnotsUntilTheyRunOut) {
  const std::vector<int32_t> knots = {5, -7, 9, 100};
  const std::vector<uint32_t> ends = {10, 10, 10};
  std::vector<int32_t> table(10, 42);
  EXPECT_EQ(expand_segmented_lut(table.data(), descriptor(knots, ends, {0})), 0);
  EXPECT_EQ(table, (std::vector<int32_t>{5, -7, 9, 100, 42, 42, 42, 42, 42, 42}));
}

TEST(SegmentedLut, InterpolatesWithRoundHalfUpBetweenSpacedKnots) {
  // Segment 0: unit spacing over [0, 2); segment 1: spacing 4 over [2, 10).
  const std::vector<int32_t> knots = {0, 10, 20, 23, 13, 99};
  const std::vector<uint32_t> ends = {2, 10, 10};
  std::vector<int32_t> table(12, -1);
  EXPECT_EQ(expand_segmented_lut(table.data(), descriptor(knots, ends, {0, 2})), 6);
  // 20 + (3*1 + 2) >> 2 = 21, 20 + (3*2 + 2) >> 2 = 22, 20 + (3*3+2) >> 2 = 22;
  // then 23 + (-10*k + 2) >> 2 with an arithmetic shift: -2, -5, -7.
  EXPECT_EQ(table, (std::vector<int32_t>{0, 10, 20, 21, 22, 22, 23, 21, 18, 16, -1, -1}));
}

TEST(SegmentedLut, ThirdSegmentEndLimitsTheTable) {
  // The 22-bit layout with four segments stops at seg_end[2] = 131072.
  std::vector<int32_t> knots(16 + 511 + 240 + 248 + 1);
  for (size_t k = 0; k < knots.size(); ++k) knots[k] = int32_t(k + 1);
  const std::vector<uint32_t> ends(kKnotLayoutEnd, kKnotLayoutEnd + 4);
  const std::vector<uint32_t> shifts(kKnotLayoutShift, kKnotLayoutShift + 4);
  std::vector<int32_t> table(kWideLutSize, 0);
  expand_segmented_lut(table.data(), descriptor(knots, ends, shifts));
  EXPECT_EQ(table[15], 16);
  EXPECT_EQ(table[16], 17);
  // Knot 766 (value 767) at 130560, plus (1 * 511 + 256) >> 9 = 1.
  EXPECT_EQ(table[131071], 768);
  EXPECT_EQ(table[131072], 0);
  EXPECT_EQ(table[kWideLutSize - 1], 0);
}

TEST(SegmentedLut, KnotReaderEqualsTheExpandedTable) {
  // Random layouts: gaps between segments, knots running out mid-segment,
  // table length cuts, wide spacings, and overlapping segments that must
  // fall back to the dense table.
  std::mt19937 rng(11);
  int compact = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t size = trial % 2 ? kOutputLutSize : (1u << 16);
    const int segs = 1 + int(rng() % 5);
    std::vector<uint32_t> ends(std::max(segs, 3)), shifts(segs);
    uint32_t pos = 0;
    for (int i = 0; i < segs; ++i) {
      pos += rng() % 7 == 0 ? 0 : rng() % (size / 3);
      if (rng() % 9 == 0) pos -= std::min<uint32_t>(pos, 100);  // an overlap
      ends[i] = pos;
      shifts[i] = rng() % 9 == 0 ? 20 + rng() % 12 : rng() % 8;
    }
    for (size_t i = segs; i < ends.size(); ++i) ends[i] = rng() % 4 == 0 ? size + 5 : pos;
    if (rng() % 5 == 0) ends[2] = rng() % size;
    std::vector<int32_t> knots(1 + rng() % 3000);
    for (auto& k : knots) k = int32_t(rng());
    const LutDescriptor d = descriptor(knots, ends, shifts);
    if (d.table_len() > size) continue;
    std::vector<int32_t> dense(size, 0);
    expand_segmented_lut(dense.data(), d);
    const SegmentedLut lut(d, size);
    if (!lut.compact()) continue;
    ++compact;
    for (uint32_t i = 0; i < size; ++i) ASSERT_EQ(lut.at(i), dense[i]) << "trial " << trial << " position " << i;
  }
  EXPECT_GT(compact, 150);
}

TEST(LogTable, HandCheckedEntries) {
  EXPECT_EQ(log_table_entry(0, 0.0), -1792);  // round(-0.7 / 0.1f * 256)
  EXPECT_EQ(log_table_entry(4, 0.0), 0);      // x = 1
  EXPECT_EQ(log_table_entry(40, 0.0), 2560);  // x = 10: round(256 / 0.1f)
  // x = 10^6 is not stretched: round(6 / 0.1f * 256) with the single-precision tenth.
  EXPECT_EQ(log_table_entry(4000000, 0.0), 15360);
  const double above = (6 + (std::log10(1000001.0) - 6) * kKneeSlope) / double(0.1f) * 256;
  EXPECT_EQ(log_table_entry(4000004, 0.0), int32_t(std::round(above)));
  // With an offset the zero entry takes the logarithm of the offset.
  EXPECT_EQ(log_table_entry(0, 10.0), 2560);
}

TEST(LogTable, SingleAndDoubleTenthDiffer) {
  // The divisor is 0.1f widened, not the double 0.1: visible in the last place.
  const double with_double = std::log10(3.0) / 0.1 * 256;
  const double with_single = std::log10(3.0) / double(0.1f) * 256;
  EXPECT_NE(with_double, with_single);
  EXPECT_EQ(log_table_entry(12, 0.0), int32_t(std::round(with_single)));
}

TEST(LogTable, ResamplingKeepsKnotsAndInterpolatesBetween) {
  std::vector<int32_t> table(kWideLutSize);
  for (uint32_t i = 0; i < kWideLutSize; ++i) table[i] = int32_t((uint64_t(i) * i) >> 24);
  const std::vector<int32_t> dense = table;
  resample_at_knots(table.data());
  for (uint32_t knot : {0u, 15u, 16u, 32u, 8176u, 8192u, 8704u, 131072u, 147456u, 4177920u})
    EXPECT_EQ(table[knot], dense[knot]) << knot;
  // Between 131072 and 147456 the entry is the rounded straight line.
  const int64_t d = int64_t(dense[147456]) - dense[131072];
  EXPECT_EQ(table[131072 + 5000], int32_t(dense[131072] + ((d * 5000 + 8192) >> 14)));
  // The last entry lies on the line from the last knot towards it.
  const int64_t last_d = int64_t(dense[kWideLutSize - 1]) - dense[4177920];
  EXPECT_EQ(table[kWideLutSize - 1], int32_t(dense[4177920] + ((last_d * 16383 + 8192) >> 14)));
}

TEST(LogTable, KnotTableEqualsTheResampledDenseTable) {
  std::vector<int32_t> dense(kWideLutSize);
  for (double offset : {0.0, 0.5, 16.0, 12345.0}) {
    build_log_lut(dense.data(), offset);
    resample_at_knots(dense.data());
    const LogKnotTable fast(offset);
    size_t mismatches = 0;
    for (uint32_t i = 0; i < kWideLutSize; ++i) mismatches += fast.at(i) != dense[i];
    EXPECT_EQ(mismatches, 0u) << "log_offset " << offset;
  }
}

TEST(Quantize, ExamplesAndRounding) {
  EXPECT_EQ(quantize_fixed(-3.7, 8, 8, false), 0.0);
  EXPECT_EQ(quantize_fixed(300, 8, 8, false), 255.0);
  EXPECT_EQ(quantize_fixed(-200, 8, 7, true), -128.0);
  EXPECT_EQ(quantize_fixed(127.5, 8, 7, true), 127.0);  // hi = 2^7 - 1
  EXPECT_EQ(quantize_fixed(2.5, 8, 8, false), 3.0);     // half rounds up
  EXPECT_EQ(quantize_fixed(-2.5, 8, 7, true), -3.0);    // half away from zero below 0
  EXPECT_EQ(quantize_fixed(0.3, 8, 4, false), 0.3125);  // 4 fractional bits
}

TEST(Saturate, NanAndOverflowStayInRange) {
  EXPECT_EQ(saturate_cast<int32_t>(std::nan("")), 0);
  EXPECT_EQ(saturate_cast<int32_t>(1e300), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(saturate_cast<int32_t>(-std::numeric_limits<double>::infinity()), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(saturate_cast<int32_t>(-2.9), -2);
}

TEST(BlendWeights, CornerWeightsSumToTheBlockArea) {
  for (int n : {64, 128, 256, 512, 1024}) {
    const CornerWeights cw = corner_weights(tent_weights(n), n);
    for (int i = 0; i < n / 2; i += 7) {
      for (int j = 0; j < n / 2; j += 5) {
        const uint32_t* w = cw.at(i, j);
        ASSERT_EQ(w[0] + w[1] + w[2] + w[3], uint32_t(n) * n) << n << " at " << i << "," << j;
      }
    }
  }
  const CornerWeights cw64 = corner_weights(tent_weights(64), 64);
  // Cell (0, 0) of a span sits at the centre of the window up and left.
  EXPECT_EQ(cw64.at(0, 0)[0], 1u);
  EXPECT_EQ(cw64.at(0, 0)[3], 63u * 63u);
  EXPECT_EQ(cw64.at(31, 31)[0], 63u * 63u);
}

TEST(BlendWeights, EdgeNormsRestoreTheFullShiftOnEveryEdge) {
  // On each edge span the two weights times their norm reach
  // 2^(2 log2(block) + 10), up to truncation. The bottom and right edges
  // take the norm mirrored across the span.
  for (int n : {64, 128, 256, 512, 1024}) {
    const int h = n / 2;
    int log2n = 0;
    while ((1 << log2n) < n) ++log2n;
    const int shift = 2 * log2n + 10;
    const std::vector<double> tent = tent_weights(n);
    const CornerWeights cw = corner_weights(tent, n);
    const std::vector<uint32_t> norms = corner_norms(tent, n, shift);
    const uint64_t full = uint64_t(1) << shift;
    for (int i = 0; i < h; ++i) {
      const int j = (i * 13) % h;
      const uint32_t* w = cw.at(i, j);
      const uint64_t top = uint64_t(w[0] + w[1]) * norms[i];
      const uint64_t bottom = uint64_t(w[2] + w[3]) * norms[h - 1 - i];
      const uint64_t left = uint64_t(w[0] + w[2]) * norms[j];
      const uint64_t right = uint64_t(w[1] + w[3]) * norms[h - 1 - j];
      for (uint64_t total : {top, bottom, left, right}) {
        ASSERT_LE(total, full) << n << " at " << i;
        ASSERT_GT(total, full - full / 64) << n << " at " << i;
      }
    }
    // The unmirrored norm overshoots at the near side of the span:
    // about 63 times at the first row.
    const uint32_t* w = cw.at(0, 0);
    EXPECT_GT(uint64_t(w[2] + w[3]) * norms[0], 60 * full) << n;
  }
}

TEST(Dither, HandCheckedSteps) {
  DitherGenerator gen;
  const uint16_t widths[2] = {16, 4};
  const uint16_t seeds[2] = {1, 0};
  const uint16_t taps[2] = {0xB400, 0xFFFF};
  gen.seed(widths, seeds);
  EXPECT_EQ(gen.mask(1), 0xF);
  gen.set_taps(taps);
  // Register 0: 1 -> 0xB400 (shifted out a 1, taps applied) -> 0x5A00.
  EXPECT_EQ(gen.draw(12, 12, false), 1024.0);  // 0xB400 & 0xFFF
  EXPECT_EQ(gen.draw(12, 11, true), -513.0);   // 0xA00: sign bit set, -((0xA00 ^ 0x800) + 1)
  EXPECT_EQ(gen.draw(4, 4, false), 0.0);       // 0x2D00 & 0xF
}

TEST(Dither, WordTableMatchesOneDrawPerCell) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 40; ++trial) {
    DitherParams d;
    d.bits = uint16_t(trial < 3 ? trial * 9 : rng() % 20);
    d.is_signed = rng() % 2;
    for (int r = 0; r < 2; ++r) {
      d.taps[r] = uint16_t(rng());
      d.widths[r] = uint16_t(rng() % 20);
      d.seeds[r] = uint16_t(rng());
    }
    const DitherTable table(d);
    DitherGenerator fast = dither_at(d, 0), slow = dither_at(d, 0);
    const int int_bits = d.is_signed ? d.bits - 1 : d.bits;
    for (int c = 0; c < 3000; ++c)
      ASSERT_EQ(table[fast.step()], int32_t(std::trunc(slow.draw(d.bits, int_bits, d.is_signed))))
          << "trial " << trial << " cell " << c;
    // A generator started further on continues the same sequence.
    DitherGenerator later = dither_at(d, 3000);
    for (int c = 0; c < 50; ++c) ASSERT_EQ(later.step(), fast.step()) << "trial " << trial;
  }
}

TEST(Dither, JumpingAheadEqualsStepping) {
  // Thread halves start far into the sequence; a wrong power of the step
  // matrix shows at once, a wrong bit order only for some distances.
  std::mt19937 rng(11);
  for (int trial = 0; trial < 12; ++trial) {
    DitherParams d;
    for (int r = 0; r < 2; ++r) {
      d.taps[r] = uint16_t(trial == 0 ? 0 : rng());
      d.widths[r] = uint16_t(trial == 1 ? 0 : rng() % 20);
      d.seeds[r] = uint16_t(rng());
    }
    DitherGenerator stepped = dither_at(d, 0);
    size_t done = 0;
    for (size_t n :
         {size_t(1), size_t(2), size_t(3), size_t(17), size_t(1000), size_t(65535), size_t(65536), size_t(300001)}) {
      for (; done < n; ++done) stepped.step();
      DitherGenerator jumped = dither_at(d, n);
      DitherGenerator copy = stepped;
      for (int c = 0; c < 4; ++c) ASSERT_EQ(jumped.step(), copy.step()) << "trial " << trial << " n " << n;
    }
  }
}

// The bounds below decide whether the vector kernels read a table in 32-bit
// lanes; one that claims too much gives wrong bits there.
TEST(LaneBounds, LutStepsFitOnlyWhileEveryDeltaTimesTheSpacingDoes) {
  // One segment of spacing 2^14: deltas up to (2^31 - 1 - 2^13) / (2^14 - 1) fit.
  const int64_t widest = (int64_t(INT32_MAX) - (1 << 13)) / ((1 << 14) - 1);
  const std::vector<uint32_t> ends = {1u << 22, 1u << 22, 1u << 22}, shifts = {14};
  for (int64_t delta : {widest, widest + 1, -widest, -widest - 1}) {
    const std::vector<int32_t> knots = {1000, int32_t(1000 + delta), 1000};
    const SegmentedLut lut(descriptor(knots, ends, shifts), kWideLutSize);
    const SegmentedLut::Layout l = lut.layout();
    ASSERT_EQ(l.count, 1) << delta;
    EXPECT_EQ(l.steps_fit_int32, delta == widest || delta == -widest) << delta;
    EXPECT_EQ(l.shift[0], 14u);
    EXPECT_EQ(l.end[0], 2u * (1u << 14) + 1) << "the knots run out at the third base";
  }
  // Overlapping segments have no compact layout.
  const std::vector<int32_t> knots(600, 7);
  const std::vector<uint32_t> overlap_ends = {16, 8, 1u << 22}, overlap_shifts = {0, 4, 14};
  EXPECT_EQ(SegmentedLut(descriptor(knots, overlap_ends, overlap_shifts), kWideLutSize).layout().count, 0);
}

TEST(LaneBounds, LogTableFitsWhileTheLiftStaysIn32Bits) {
  const LogKnotTable table(0.0);
  EXPECT_TRUE(table.fits_int32(0));
  EXPECT_TRUE(table.fits_int32(-30 * 256));
  // The lowest entry minus a floor near INT32_MAX leaves the range.
  EXPECT_FALSE(table.fits_int32(INT32_MAX - 5));
  EXPECT_FALSE(table.fits_int32(INT32_MIN + 5));
}

TEST(LaneBounds, ShiftedDitherValuesOrNoneWhenOneOverflows) {
  DitherParams d;
  d.bits = 12;
  d.is_signed = true;
  const DitherTable table(d);
  const std::vector<int32_t> by16 = table.shifted(4);
  ASSERT_EQ(by16.size(), size_t(table.mask()) + 1);
  for (uint32_t w = 0; w <= table.mask(); ++w) ASSERT_EQ(by16[w], table[uint16_t(w)] * 16) << w;
  // Only the low 5 bits of the shift count, as in the call.
  EXPECT_EQ(table.shifted(36), by16);
  // The most negative value, -2048, times 2^20 is -2^31: past the range.
  EXPECT_FALSE(table.shifted(19).empty());
  EXPECT_TRUE(table.shifted(20).empty());
}

// One run of words, or two side by side, from the eight-step tables.
TEST(Dither, EightStepTablesGiveTheSteppedWords) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    DitherParams d;
    for (int r = 0; r < 2; ++r) {
      d.taps[r] = uint16_t(trial == 0 ? 0xFFFF : rng());
      d.widths[r] = uint16_t(rng() % 20);
      d.seeds[r] = uint16_t(trial == 1 ? 0xFFFF : rng());
    }
    DitherGenerator stepped = dither_at(d, 0), filled = stepped;
    const DitherGenerator::ByteTables tables(filled);
    for (size_t count : {size_t(0), size_t(1), size_t(8), size_t(13), size_t(1920)}) {
      std::vector<uint16_t> words(count), second(count);
      filled.fill(tables, words.data(), count);
      for (size_t i = 0; i < count; ++i) ASSERT_EQ(words[i], stepped.step()) << "trial " << trial << " word " << i;
      const DitherGenerator::Jump skip(filled, count);
      filled.fill_two(tables, skip, words.data(), second.data(), count);
      for (size_t i = 0; i < 2 * count; ++i)
        ASSERT_EQ(i < count ? words[i] : second[i - count], stepped.step())
            << "trial " << trial << " word " << i << " of two runs";
    }
    EXPECT_EQ(filled.step(), stepped.step()) << "the state after the words";
  }
}

TEST(LaneBounds, DitherValuesFollowTheirWordsSignBitAndAll) {
  for (int bits = 0; bits <= 20; ++bits) {
    for (bool is_signed : {false, true}) {
      DitherParams d;
      d.bits = uint16_t(bits);
      d.is_signed = is_signed;
      const DitherTable table(d);
      const int32_t sign = table.sign_bit();
      ASSERT_GE(sign, 0) << bits << (is_signed ? " signed" : " unsigned");
      for (uint32_t w = 0; w <= table.mask(); ++w) {
        const int32_t form = (w & uint32_t(sign)) ? ~int32_t(w & uint32_t(sign - 1)) : int32_t(w);
        ASSERT_EQ(table[uint16_t(w)], form) << bits << " word " << w;
      }
      if (is_signed && bits >= 2 && bits <= 16) {
        EXPECT_EQ(sign, 1 << (bits - 1)) << bits;
      }
    }
  }
}
