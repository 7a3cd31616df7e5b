// The neighbour statistics and the cold test against a literal reference: each
// colour plane correlated with one-tap 3 x 3 kernels by OpenCV (reflect-101
// borders), the eight reads summed in slot order in single precision.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "bpc/neighbour_stats.h"
#include "shared/errors.h"

namespace {

using tuning::bpc::get_dark_bad;
using tuning::bpc::kNeighbourSlots;
using tuning::bpc::NeighbourStats;
using tuning::bpc::win_ave;

// Neighbour reads of every slot in full-frame layout, through cv::filter2D.
std::vector<std::vector<float>> filter_reads(const std::vector<double>& img, int h, int w) {
  std::vector<std::vector<float>> reads(8, std::vector<float>(img.size()));
  for (int k = 0; k < 4; ++k) {
    cv::Mat plane(h / 2, w / 2, CV_64F);
    for (int i = 0; i < h / 2; ++i)
      for (int j = 0; j < w / 2; ++j) plane.at<double>(i, j) = img[(2 * i + k / 2) * w + 2 * j + k % 2];
    for (int slot = 0; slot < 8; ++slot) {
      cv::Mat kernel = cv::Mat::zeros(3, 3, CV_64F);
      kernel.at<double>(1 + kNeighbourSlots[slot].first, 1 + kNeighbourSlots[slot].second) = 1.0;
      cv::Mat out;
      cv::filter2D(plane, out, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
      for (int i = 0; i < h / 2; ++i)
        for (int j = 0; j < w / 2; ++j)
          reads[slot][(2 * i + k / 2) * w + 2 * j + k % 2] = static_cast<float>(out.at<double>(i, j));
    }
  }
  return reads;
}

template <typename Acc>
NeighbourStats reference_stats(const std::vector<double>& img, int h, int w, bool reverse_order = false) {
  const auto reads = filter_reads(img, h, w);
  NeighbourStats s;
  s.min_val.resize(img.size());
  s.max_val.resize(img.size());
  s.mean_val.resize(img.size());
  for (std::size_t p = 0; p < img.size(); ++p) {
    Acc sum = 0;
    float hi = -INFINITY, lo = INFINITY;
    for (int slot = 0; slot < 8; ++slot) {
      const float v = reads[reverse_order ? 7 - slot : slot][p];
      sum += v;
      hi = std::max(hi, v);
      lo = std::min(lo, v);
    }
    s.min_val[p] = lo;
    s.max_val[p] = hi;
    s.mean_val[p] = static_cast<float>((sum - hi - lo) / Acc(6));
  }
  return s;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Values spread over several orders of magnitude, so that any other summation
// order or precision changes the last bits of many means.
std::vector<double> random_frame(int h, int w, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> mantissa(0.0, 1.0);
  std::uniform_int_distribution<int> exponent(-6, 14);
  std::vector<double> img(static_cast<std::size_t>(h) * w);
  for (auto& v : img) v = mantissa(rng) * std::ldexp(1.0, exponent(rng));
  return img;
}

TEST(WinAve, MatchesTheFilterReferenceBitForBit) {
  // Plane sizes 1 (edge reads its only sample), 2, and widths that leave
  // remainders after the four-pixel inner loop.
  const int sizes[][2] = {{2, 2}, {4, 4}, {2, 12}, {6, 2}, {10, 14}, {38, 70}, {130, 46}, {8, 22}};
  unsigned seed = 1;
  for (const auto& size : sizes) {
    const int h = size[0], w = size[1];
    const auto img = random_frame(h, w, seed++);
    const NeighbourStats got = win_ave(img.data(), h, w);
    const NeighbourStats want = reference_stats<float>(img, h, w);
    EXPECT_TRUE(same_bits(got.min_val, want.min_val)) << h << " x " << w;
    EXPECT_TRUE(same_bits(got.max_val, want.max_val)) << h << " x " << w;
    EXPECT_TRUE(same_bits(got.mean_val, want.mean_val)) << h << " x " << w;
  }
}

TEST(WinAve, TestDataTellsSummationOrderAndPrecisionApart) {
  // The comparison above is only worth something if a double accumulator or
  // another slot order would fail it on the same data.
  const auto img = random_frame(38, 70, 6);
  const NeighbourStats single = reference_stats<float>(img, 38, 70);
  EXPECT_FALSE(same_bits(single.mean_val, reference_stats<double>(img, 38, 70).mean_val));
  EXPECT_FALSE(same_bits(single.mean_val, reference_stats<float>(img, 38, 70, true).mean_val));
}

TEST(WinAve, NegativeZeroReadsAsPositiveZeroLikeTheFilter) {
  std::vector<double> img(16, -0.0);
  const NeighbourStats got = win_ave(img.data(), 4, 4);
  const NeighbourStats want = reference_stats<float>(img, 4, 4);
  EXPECT_TRUE(same_bits(got.max_val, want.max_val));
  EXPECT_FALSE(std::signbit(got.max_val[5]));
}

TEST(WinAve, OwnValueNeverTakesPart) {
  // 4 x 4: every plane is 2 x 2, so the eight reads of (0, 0) all come from the
  // other three plane positions.
  std::vector<double> img(16, 5.0);
  img[0] = 1000.0;
  const NeighbourStats got = win_ave(img.data(), 4, 4);
  EXPECT_EQ(got.max_val[0], 5.0f);
  EXPECT_EQ(got.max_val[2], 1000.0f);  // (0, 2) reads plane (0, 0) at offsets (0, -1) and (0, +1)
  EXPECT_EQ(got.min_val[1], 5.0f);     // another colour plane entirely
}

TEST(WinAve, OddOrEmptyFrameIsAShapeError) {
  std::vector<double> img(12, 1.0);
  EXPECT_THROW(win_ave(img.data(), 3, 4), tuning::ShapeError);
  EXPECT_THROW(win_ave(img.data(), 4, 3), tuning::ShapeError);
  EXPECT_THROW(get_dark_bad(img.data(), 2, 0, 1.0), tuning::ShapeError);
}

// The cold test written out step by step on the reference statistics.
std::vector<std::pair<std::int64_t, std::int64_t>> reference_flags(const std::vector<double>& img, int h, int w,
                                                                   double ratio) {
  std::vector<double> s(img.size());
  for (std::size_t i = 0; i < img.size(); ++i) s[i] = img[i] / 256.0;
  const NeighbourStats st = reference_stats<float>(s, h, w);
  std::vector<std::pair<std::int64_t, std::int64_t>> out;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::size_t p = static_cast<std::size_t>(y) * w + x;
      double cur = std::fabs(s[p] - st.mean_val[p]);
      if (y < 2 || y >= h - 2 || x < 2 || x >= w - 2) cur = 0.0;
      const float diff = std::min(st.max_val[p] - st.mean_val[p], st.mean_val[p] - st.min_val[p]);
      const float thr = diff * static_cast<float>(ratio);
      if (cur >= thr) out.emplace_back(y, x);
    }
  return out;
}

std::vector<std::pair<std::int64_t, std::int64_t>> flags_of(const std::vector<double>& img, int h, int w,
                                                            double ratio) {
  const auto f = get_dark_bad(img.data(), h, w, ratio);
  std::vector<std::pair<std::int64_t, std::int64_t>> out;
  for (std::size_t i = 0; i < f.rows.size(); ++i) out.emplace_back(f.rows[i], f.columns[i]);
  return out;
}

TEST(GetDarkBad, MatchesTheReferenceAtSeveralRatios) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(1000.0, 30.0);
  std::vector<double> img(40 * 66);
  for (auto& v : img) v = std::round(noise(rng) * 16.0) / 16.0;
  for (double ratio : {0.0, 0.3, 1.0, 2.5, 20.0}) {
    const auto want = reference_flags(img, 40, 66, ratio);
    EXPECT_EQ(flags_of(img, 40, 66, ratio), want) << "ratio " << ratio;
  }
}

TEST(GetDarkBad, FlatFrameFlagsEveryPixelBorderIncluded) {
  std::vector<double> img(8 * 10, 300.0);
  EXPECT_EQ(flags_of(img, 8, 10, 20.0).size(), img.size());
}

// A pixel at (6, 6) of a 14 x 14 frame whose neighbours spread evenly around a
// trimmed mean; its own value is free to choose since it never enters its own
// statistics.
struct Probe {
  std::vector<double> img = std::vector<double>(14 * 14, 256.0 * 20.0);
  static constexpr int kSize = 14, kY = 6, kX = 6;
  Probe(double low, double high) {
    img[(kY - 2) * kSize + kX - 2] = 256.0 * low;
    img[(kY + 2) * kSize + kX] = 256.0 * high;
  }
  bool flagged(double centre, double ratio) {
    img[kY * kSize + kX] = centre;
    for (const auto& p : flags_of(img, kSize, kSize, ratio))
      if (p == std::make_pair<std::int64_t, std::int64_t>(kY, kX)) return true;
    return false;
  }
};

TEST(GetDarkBad, DeviationEqualToTheThresholdIsFlagged) {
  // Neighbours 10, 20 x 6, 30: trimmed mean 20, both sides of the spread 10.
  Probe probe(10.0, 30.0);
  EXPECT_TRUE(probe.flagged(256.0 * 30.0, 1.0));
  EXPECT_TRUE(probe.flagged(256.0 * 10.0, 1.0));
  EXPECT_FALSE(probe.flagged(256.0 * std::nextafter(30.0, 0.0), 1.0));
}

TEST(GetDarkBad, ThresholdIsTheSinglePrecisionProduct) {
  // A deviation exactly at the single-precision product of spread and ratio is
  // flagged and one just below is not; with a ratio whose double-precision
  // product differs, a double shortcut decides one of the two differently.
  Probe probe(12.7, 40.0);
  std::vector<double> scaled(probe.img.size());
  for (std::size_t i = 0; i < scaled.size(); ++i) scaled[i] = probe.img[i] / 256.0;
  const NeighbourStats st = win_ave(scaled.data(), Probe::kSize, Probe::kSize);
  const std::size_t at = Probe::kY * Probe::kSize + Probe::kX;
  const float mean = st.mean_val[at];
  const float diff = std::min(st.max_val[at] - mean, mean - st.min_val[at]);
  // A ratio whose single-precision product differs both from the double one
  // and from the double one rounded to single precision.
  const auto single = [&](double r) { return diff * static_cast<float>(r); };
  double ratio = 0.1;
  while (static_cast<double>(single(ratio)) == static_cast<double>(diff) * ratio ||
         single(ratio) == static_cast<float>(static_cast<double>(diff) * ratio))
    ratio += 0.01;
  const double thr = diff * static_cast<float>(ratio);
  EXPECT_TRUE(probe.flagged(256.0 * (mean + thr), ratio));
  EXPECT_FALSE(probe.flagged(std::nextafter(256.0 * (mean + thr), 0.0), ratio));
}

TEST(GetDarkBad, NonFiniteNeighboursDecideNothing) {
  std::vector<double> img(12 * 12, 100.0);
  img[6 * 12 + 6] = std::numeric_limits<double>::quiet_NaN();
  const NeighbourStats st = win_ave(img.data(), 12, 12);
  EXPECT_TRUE(std::isnan(st.mean_val[4 * 12 + 4]));
  EXPECT_TRUE(std::isnan(st.max_val[8 * 12 + 8]));
  // Opposite infinities make the sum NaN with no NaN among the neighbours:
  // the extremes stay, only the trimmed mean is NaN.
  img[6 * 12 + 6] = INFINITY;
  img[6 * 12 + 10] = -INFINITY;
  const NeighbourStats inf = win_ave(img.data(), 12, 12);
  EXPECT_EQ(inf.max_val[8 * 12 + 8], INFINITY);
  EXPECT_EQ(inf.min_val[8 * 12 + 8], -INFINITY);
  EXPECT_TRUE(std::isnan(inf.mean_val[8 * 12 + 8]));
  img[6 * 12 + 6] = std::numeric_limits<double>::quiet_NaN();
  img[6 * 12 + 10] = 100.0;
  for (const auto& p : flags_of(img, 12, 12, 1.0))
    EXPECT_FALSE(p.first >= 4 && p.first <= 8 && p.second >= 4 && p.second <= 8 && (p.first % 2 == 0) &&
                 (p.second % 2 == 0))
        << p.first << ", " << p.second;
}

}  // namespace
