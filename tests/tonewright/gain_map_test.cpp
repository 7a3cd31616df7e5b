// Tone gain map, strength mix, upsampling and output.
#include <gtest/gtest.h>

#include <algorithm>

#include "stages.h"
#include "test_support.h"

using namespace tonewright;
using namespace test_support;

TEST(GainMap, CurveEvaluationInterpolatesAndClamps) {
  const int32_t curve[3] = {0, 1 << 23, 1 << 24};
  const int32_t slope[3] = {1 << 23, 1 << 23, 0};
  // Bin 1 plus half a bin: (2^31 + 128 * 2^23) * 16384 >> 32 = 12288.
  EXPECT_EQ(eval_curve((1 << 8) + 128, curve, slope, 3, 16383), 12288u);
  EXPECT_EQ(eval_curve(0, curve, slope, 3, 16383), 0u);
  // Past the last bin the last node is used, and full scale clamps to out_max.
  EXPECT_EQ(eval_curve(200 << 8, curve, slope, 3, 16383), 16383u);
}

TEST(GainMap, UnityShiftRescalesTwentyBitsToTheOutput) {
  EXPECT_EQ(unity_shift_of(16383), 8);
  EXPECT_EQ(unity_shift_of(1023), 4);
  EXPECT_EQ(unity_shift_of(63), 0);
  EXPECT_LT(unity_shift_of(62), 0);
  EXPECT_EQ(mix_strength(5000, 0, 8), 256u);
  EXPECT_EQ(mix_strength(5000, 16, 8), 5000u);
  EXPECT_EQ(mix_strength(5000, 8, 8), (5000u * 8 + 8 * 256) >> 4);
}

TEST(GainMap, ZeroStrengthIsAPlainLinearRescale) {
  for (uint64_t seed : {3u, 4u, 5u, 6u}) {
    const bool global = seed % 2 == 0;
    ExportArgs a = small_case(seed, 132, 196, global);
    a.tm_strength = 0;
    a.use_corrected_input = 0;
    const std::vector<int32_t> in = a.image;
    call_tmo(a);
    ASSERT_EQ(last_status().first, TMO_STATUS_OK) << last_status().second;
    const int shift = unity_shift_of(a.out_max);
    for (size_t i = 0; i < in.size(); ++i) {
      const uint64_t scaled = (uint64_t(in[i]) << shift) >> 14;
      ASSERT_EQ(a.image[i], int32_t(std::min<uint64_t>(scaled, uint64_t(a.out_max)))) << seed << " at " << i;
    }
  }
}

TEST(GainMap, FourteenBitOutputOfTheCorrectedFrame) {
  // Unit white balance, no mesh: the corrected frame is the input clamped
  // to 20 bits, and strength 0 reduces it to 14 bits.
  ExportArgs a = small_case(8);
  a.tm_strength = 0;
  a.out_max = 16383;
  a.use_corrected_input = 1;
  a.mesh_off = 1;
  a.wb_gain[0] = a.wb_gain[1] = a.wb_gain[2] = 4096;
  a.image[0] = 5000000;  // saturates at 2^20 - 1 first
  const std::vector<int32_t> in = a.image;
  call_tmo(a);
  ASSERT_EQ(last_status().first, TMO_STATUS_OK) << last_status().second;
  for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(a.image[i], std::min(in[i], 1048575) * 256 >> 14) << i;
  EXPECT_EQ(a.image[0], 16383);
}

TEST(GainMap, UpsamplingWeighsOwnSideAndDiagonalCells) {
  Geometry g;
  g.height = g.width = 4;
  g.luma_rows = g.luma_cols = 2;
  const uint64_t a = 1000, b = 2000, c = 3000, d = 5000;
  const std::vector<uint64_t> gains = {a, b, c, d};
  const std::vector<int32_t> src(16, 1 << 14);  // output = pixel gain
  std::vector<int32_t> out(16, -1);
  std::vector<uint64_t> scratch(2);
  apply_gains(g, gains.data(), src.data(), 65535, 0, 4, out.data(), scratch.data());
  EXPECT_EQ(out[0], int32_t(a));                     // corner: own cell alone, 9 / 9
  EXPECT_EQ(out[1], int32_t((9 * a + 3 * b) / 12));  // one side neighbour
  EXPECT_EQ(out[4], int32_t((9 * a + 3 * c) / 12));
  EXPECT_EQ(out[5], int32_t((9 * a + 3 * c + 3 * b + d) / 16));
  EXPECT_EQ(out[10], int32_t((9 * d + 3 * b + 3 * c + a) / 16));
  EXPECT_EQ(out[15], int32_t(d));
}

TEST(GainMap, OutputClampsAndWrapsLikeTheHardware) {
  Geometry g;
  g.height = g.width = 2;
  g.luma_rows = g.luma_cols = 1;
  const std::vector<uint64_t> gains = {uint64_t(4) << 14};
  const std::vector<int32_t> src = {100, 20000, -1, (1 << 30) + 2};
  std::vector<int32_t> out(4);
  std::vector<uint64_t> scratch(1);
  apply_gains(g, gains.data(), src.data(), 16383, 0, 2, out.data(), scratch.data());
  EXPECT_EQ(out[0], 400);
  EXPECT_EQ(out[1], 16383);
  // -1 is 2^64 - 1 unsigned: times 4 and shifted, its low 32 bits are all ones.
  EXPECT_EQ(out[2], 16383);
  // 2^32 + 8 is cut to 32 bits before the clamp.
  EXPECT_EQ(out[3], 8);
}

TEST(GainMap, FlatCurvesGiveTheSameBlendOnEdgesAsInside) {
  TmoParams p;
  p.height = p.width = 200;  // 100 x 100 cells: 4 x 4 spans of 32, the last cut to 4
  p.out_max = 16383;
  const Geometry g = Geometry::of(p);
  ASSERT_EQ(g.block_rows, 3);
  const int bins = 64;
  const int windows = g.block_rows * g.block_cols;
  std::vector<int32_t> curves(size_t(windows) * bins), slopes(size_t(windows) * bins, 0);
  for (int w = 0; w < windows; ++w)
    for (int k = 0; k < bins; ++k) curves[size_t(w) * bins + k] = k * (1 << 18);
  std::vector<int32_t> lut2(kOutputLutSize);
  for (uint32_t v = 0; v < kOutputLutSize; ++v) lut2[v] = int32_t(v);
  const size_t cells = size_t(g.luma_rows) * g.luma_cols;
  // Every cell's luma in the middle of log bin 50.
  const LogKnotTable log_table(0.0);
  uint32_t y = 4 * 4000;
  while (log_luminance(log_table, y, g.log_offset_fixed) < (50 << 8) + 128) ++y;
  const int32_t value = int32_t(log_luminance(log_table, y, g.log_offset_fixed));
  const std::vector<uint32_t> luma(cells, y);
  const std::vector<double> tent = tent_weights(g.block);
  const CornerWeights cw = corner_weights(tent, g.block);
  const std::vector<uint32_t> norms = corner_norms(tent, g.block, 2 * g.block_log2 + 10);
  LocalGainInputs in;
  in.luma = luma.data();
  in.log_table = &log_table;
  in.log_offset_fixed = g.log_offset_fixed;
  in.curves = curves.data();
  in.slopes = slopes.data();
  in.lut2 = lut2.data();
  in.weights = &cw;
  in.norms = norms.data();
  in.bins = bins;
  in.out_max = 16383;
  std::vector<uint64_t> gain_map(cells);
  local_gains(g, in, 16, 0, g.luma_rows, gain_map.data());
  const uint32_t f = eval_curve(value, curves.data(), slopes.data(), bins, 16383);
  const uint64_t inside = uint64_t(f) * 16384 / (y / 4);
  const uint64_t lowest = uint64_t(f - 16) * 16384 / (y / 4);  // edge norms truncate by at most 16
  for (size_t i = 0; i < cells; ++i) {
    ASSERT_LE(gain_map[i], inside) << "cell row " << i / g.luma_cols << " column " << i % g.luma_cols;
    ASSERT_GE(gain_map[i], lowest) << "cell row " << i / g.luma_cols << " column " << i % g.luma_cols;
  }
  EXPECT_EQ(gain_map[size_t(40) * g.luma_cols + 40], inside);
}
