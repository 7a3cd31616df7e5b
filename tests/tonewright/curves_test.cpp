// Log-domain histograms and block tone curves.
#include <gtest/gtest.h>

#include <cmath>

#include "stages.h"

using namespace tonewright;

namespace {

constexpr int32_t kFull = int32_t(CurveQ24::one);

struct CurveFixture {
  TmoParams p;
  Geometry g;
  std::vector<int32_t> global_hist;

  explicit CurveFixture(int bins) : global_hist(bins, 0) {
    p.bins = uint16_t(bins);
    p.clip_limit = 1e12;
    p.global_blend = 1.0;
    g.luma_rows = g.luma_cols = 64;
  }
  std::vector<int32_t> curve(std::vector<int32_t> hist, std::vector<int32_t>* slope_out = nullptr) {
    const CurveBuilder builder(p, g, global_hist);
    std::vector<int32_t> curve(p.bins, -1), slope(p.bins, 0);
    std::vector<double> scratch;
    builder.build(hist.data(), 64, 64, curve.data(), slope.data(), scratch);
    if (slope_out) *slope_out = slope;
    return curve;
  }
};

double linear_edge(int k) { return std::pow(10.0, double(float(k) * 0.1f)) / 1048575 * 16777216; }

}  // namespace

TEST(Curves, TopBinHoldsFullScale) {
  EXPECT_EQ(top_bin(0), 60);          // log10(2^20 - 1) = 6.02 decades
  EXPECT_EQ(top_bin(-10 * 256), 70);  // log_floor 10 lifts it by a decade
  EXPECT_EQ(top_bin(61 * 256), -1);   // a negative floor can push it below bin 0
}

TEST(Curves, BlackFrameRaisesTrailingZerosToFullScale) {
  CurveFixture f(70);
  std::vector<int32_t> hist(70, 0);
  hist[0] = 4095;
  f.global_hist[0] = 4096;
  std::vector<int32_t> slope;
  const std::vector<int32_t> curve = f.curve(hist, &slope);
  EXPECT_EQ(curve[0], 0);
  for (int k = 1; k < 70; ++k) EXPECT_EQ(curve[k], kFull) << k;
  for (int k = 0; k < 70; ++k) EXPECT_EQ(slope[k], 0) << k;  // slopes are not recomputed
}

TEST(Curves, UnlimitedCurveIsTheCumulativeSumOfCompressedBins) {
  CurveFixture f(64);
  std::vector<int32_t> hist(64, 0);
  hist[10] = 1000;
  hist[20] = 125;
  hist[30] = 8;
  f.global_hist = hist;
  const std::vector<int32_t> curve = f.curve(hist);
  // Cube roots 10 : 5 : 2 of the histogram, 17 in all.
  const double full = 16777216.0;
  EXPECT_EQ(curve[9], 0);
  EXPECT_NEAR(curve[10], 10.0 / 17 * full, 1);
  EXPECT_NEAR(curve[25], 15.0 / 17 * full, 1);
  EXPECT_EQ(curve[63], kFull);  // 17/17, then raised by the top fix from one short
}

TEST(Curves, ClipLimitOneKeepsEveryBinAtOrBelowItsLinearValue) {
  CurveFixture f(64);
  f.p.clip_limit = 1.0;
  std::vector<int32_t> hist(64, 0);
  for (int k = 20; k < 60; ++k) hist[k] = 10 + k;
  f.global_hist = hist;
  const std::vector<int32_t> curve = f.curve(hist);
  int limited = 0;
  for (int k = 1; k < 64; ++k) {
    if (curve[k] == kFull) continue;  // raised by the top fix
    EXPECT_LE(curve[k], std::trunc(linear_edge(k))) << k;
    ++limited;
  }
  EXPECT_GT(limited, 50);
}

TEST(Curves, ExcessWithNothingLeftToSpreadOverIsDropped) {
  // All mass in bin 5 and a clip limit of 1: at bin 5 nothing remains to
  // spread the excess over. Dividing by that zero would make every later
  // bin NaN and zero, and the top fix would then lift the dark bins 1..4
  // to full scale too.
  CurveFixture f(64);
  f.p.clip_limit = 1.0;
  std::vector<int32_t> hist(64, 0);
  hist[5] = 4095;
  f.global_hist[5] = 4096;
  const std::vector<int32_t> curve = f.curve(hist);
  for (int k = 0; k <= 4; ++k) EXPECT_EQ(curve[k], 0) << k;
  for (int k = 5; k < 64; ++k) EXPECT_EQ(curve[k], kFull) << k;
}

TEST(Curves, GlobalBlendChoosesWhichHistogramShapesTheCurve) {
  CurveFixture f(64);
  std::vector<int32_t> dark(64, 0), bright(64, 0);
  dark[10] = 4000;
  bright[50] = 4000;
  f.global_hist[30] = 4096;
  f.p.global_blend = 0.0;
  EXPECT_EQ(f.curve(dark), f.curve(bright));
  f.p.global_blend = 1.0;
  EXPECT_NE(f.curve(dark), f.curve(bright));
  dark[12] = 1000;
  std::vector<int32_t> dark_half = dark;
  dark_half[10] = 2000;  // same shape, half the counts: only the shape matters
  dark_half[12] = 500;
  EXPECT_EQ(f.curve(dark), f.curve(dark_half));
}

TEST(Curves, FixedCurveFollowsTheScaledLinearEdgeUpToFullScale) {
  CurveFixture f(64);
  f.p.fixed_curve_gain = 2.0;
  const CurveBuilder builder(f.p, f.g, f.global_hist);
  std::vector<int32_t> curve(64), slope(64);
  builder.build_fixed(curve.data(), slope.data());
  EXPECT_EQ(curve[0], 0);
  EXPECT_EQ(curve[30], int32_t(linear_edge(30) * 2.0));
  EXPECT_EQ(curve[63], kFull);
  EXPECT_EQ(slope[29], curve[30] - curve[29]);
  f.p.fixed_curve_gain = std::nan("");  // fmin drops the NaN
  const CurveBuilder nan_builder(f.p, f.g, f.global_hist);
  nan_builder.build_fixed(curve.data(), slope.data());
  EXPECT_EQ(curve[1], kFull);
}

TEST(Histograms, WindowCountsStopOneBelowTheBlockArea) {
  Geometry g;
  g.block = 64;
  g.block_log2 = 6;
  g.half = 32;
  g.luma_rows = g.luma_cols = 64;
  g.block_rows = g.block_cols = 1;
  const int bins = 8;
  std::vector<int32_t> log_luma(64 * 64, 3 << 8);
  log_luma[0] = 5 << 8;
  std::vector<int32_t> spans(4 * bins, 0), hist(bins);
  auto count_all = [&] {
    for (int r = 0; r < g.luma_rows; ++r)
      count_span_row(g, bins, r, log_luma.data() + r * g.luma_cols, spans.data(), spans.data());
  };
  count_all();
  EXPECT_EQ(spans[3] + spans[bins + 3] + spans[2 * bins + 3] + spans[3 * bins + 3], 4095);
  EXPECT_EQ(spans[5], 1);
  window_histogram(g, bins, spans.data(), 0, 0, hist.data());
  EXPECT_EQ(hist[3], 4095);
  std::fill(log_luma.begin(), log_luma.end(), 3 << 8);
  std::fill(spans.begin(), spans.end(), 0);
  count_all();
  window_histogram(g, bins, spans.data(), 0, 0, hist.data());
  EXPECT_EQ(hist[3], 4095);  // 4096 cells, held at block * block - 1
}
