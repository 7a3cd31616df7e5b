#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "noise_profile/level_histograms.h"
#include "noise_profile/polynomial_fit.h"
#include "noise_profile/shot_noise_model.h"
#include "shared/errors.h"
#include "test_files.h"

namespace tuning::noise {
namespace {

using tunekit_test::ScratchDir;
using tunekit_test::write_samples;

// ---- level histograms ------------------------------------------------------------

// A 4 x 8 frame (2 x 4 cell planes) seen through two captures L - 1 and L + 1,
// where L = 10 + plane index + 20 x cell position: every pixel's mean is its
// own level and its samples lie 1 from it.
class Levels : public ::testing::Test {
 protected:
  static constexpr std::int64_t kRows = 4, kCols = 8;
  Levels() {
    for (std::int64_t y = 0; y < kRows; ++y)
      for (std::int64_t x = 0; x < kCols; ++x) {
        const std::uint64_t level = level_at(y, x);
        sum.push_back(2 * level);
        square_sum.push_back((level - 1) * (level - 1) + (level + 1) * (level + 1));
      }
  }
  static std::uint64_t level_at(std::int64_t y, std::int64_t x) {
    return 10 + static_cast<std::uint64_t>((y / 2) * 4 + x / 2) + 20 * static_cast<std::uint64_t>(2 * (y % 2) + x % 2);
  }
  CaptureBand band() const {
    CaptureBand b;
    b.rows = kRows;
    b.width = kCols;
    b.num = 2;
    b.sum = sum.data();
    b.square_sum = square_sum.data();
    return b;
  }
  LevelHistograms binned(std::vector<PlaneRect> regions) const {
    LevelHistograms h(std::move(regions));
    h.add(band());
    return h;
  }
  static PlaneRect region(std::int64_t top, std::int64_t left, std::int64_t bottom, std::int64_t right) {
    return plane_rect(top, left, bottom, right, kRows / 2, kCols / 2);
  }
  std::vector<std::uint64_t> sum, square_sum;
};

TEST_F(Levels, RegionsAreHalvedByFloorDivisionAndClipped) {
  const PlaneRect r = plane_rect(-3, -1, 3, 7, 10, 10);
  EXPECT_EQ(r.y0, 0);
  EXPECT_EQ(r.x0, 0);
  EXPECT_EQ(r.y1, 1);
  EXPECT_EQ(r.x1, 3);
  const PlaneRect beyond = plane_rect(-5, -5, 100, 101, 10, 12);
  EXPECT_EQ(beyond.y1, 10);
  EXPECT_EQ(beyond.x1, 12);
  EXPECT_EQ(plane_rect(-5, 0, -1, 4, 10, 10).y1, -1);  // floor(-1 / 2) = -1: empty
}

TEST_F(Levels, EveryRegionPixelCountsOncePerRegionThatHoldsIt) {
  // Plane columns 0..1 and 1..3 overlap in column 1; a region beyond the frame
  // is clipped; one whose halved left reaches its right adds nothing.
  const LevelHistograms h =
      binned({region(0, 0, 4, 4), region(0, 2, 4, 8), region(-3, -3, 2, 100), region(0, 3, 4, 2)});
  for (int c = 0; c < kCellPositions; ++c)
    for (std::int64_t py = 0; py < 2; ++py)
      for (std::int64_t px = 0; px < 4; ++px) {
        const std::uint64_t level = 10 + static_cast<std::uint64_t>(py * 4 + px) + 20 * static_cast<std::uint64_t>(c);
        const std::uint64_t regions = (px <= 1) + (px >= 1) + (py == 0);
        EXPECT_EQ(h.freq(c, level), 2 * regions) << "cell " << c << " at " << py << "," << px;
        EXPECT_DOUBLE_EQ(h.variance_about_level(c, level), 1.0);
      }
  EXPECT_EQ(h.freq(0, 9), 0u);
}

TEST_F(Levels, VarianceIsTakenAboutTheBinLevelNotThePixelMean) {
  // Captures 10 and 13: the mean 11.5 truncates to 11; (10-11)^2 + (13-11)^2 = 5 over 2 samples.
  sum.assign(static_cast<std::size_t>(kRows * kCols), 23);
  square_sum.assign(sum.size(), 100 + 169);
  const LevelHistograms h = binned({region(0, 0, kRows, kCols)});
  EXPECT_EQ(h.freq(3, 11), 16u);
  EXPECT_DOUBLE_EQ(h.variance_about_level(3, 11), 2.5);
}

TEST_F(Levels, PercentilesInterpolateOverTheWholePlaneWhateverTheRegions) {
  // Cell 0 holds levels 10..17 once each: rank 0.8 x 7 = 5.6 gives 15.6.
  for (const auto& regions :
       {std::vector<PlaneRect>{region(0, 0, kRows, kCols)}, std::vector<PlaneRect>{region(0, 0, 2, 2)}}) {
    const LevelHistograms h = binned(regions);
    EXPECT_NEAR(h.plane_percentile(0, 80.0), 15.6, 1e-12);
    EXPECT_NEAR(h.plane_percentile(0, 0.1), 10.007, 1e-12);
    EXPECT_EQ(h.plane_percentile(3, 100.0), 77.0);
  }
}

TEST_F(Levels, MergingWorkerPartsEqualsOnePass) {
  LevelHistograms whole = binned({region(0, 0, kRows, kCols)});
  LevelHistograms top({region(0, 0, kRows, kCols)}), bottom({region(0, 0, kRows, kCols)});
  CaptureBand upper = band(), lower = band();
  upper.rows = lower.rows = 2;
  lower.first_row = 2;
  lower.sum += 2 * kCols;
  lower.square_sum += 2 * kCols;
  top.add(upper);
  bottom.add(lower);
  top.merge(bottom);
  for (int c = 0; c < kCellPositions; ++c)
    for (std::size_t v = 0; v < 100; ++v) EXPECT_EQ(top.freq(c, v), whole.freq(c, v));
  EXPECT_EQ(top.plane_percentile(2, 80.0), whole.plane_percentile(2, 80.0));
}

// ---- calibrate_shot_noise ----------------------------------------------------------

// Frames of 2 rows x 80 columns: every 2 x 2 cell holds one value, so all four
// cell planes are the same 1 x 40 row: 3 pixels at level 10, 10 at 20, 10 at
// 30 and 17 at 300. Two captures per gain lie d below and d above the level,
// with d = spread x (1, 2, 3) for the three low levels: variances about the
// level spread^2 x (1, 4, 9) from (3, 10, 10) pixels x 2 captures.
class ShotNoise : public ::testing::Test {
 protected:
  static constexpr int kPlaneCols = 40;
  void captures(const std::string& gain, int spread) {
    for (int capture = 0; capture < 2; ++capture) {
      Samples s;
      for (int row = 0; row < 2; ++row)
        for (int px = 0; px < kPlaneCols; ++px) {
          const int level = px < 3 ? 10 : px < 13 ? 20 : px < 23 ? 30 : 300;
          const int d = level == 300 ? 0 : spread * (level / 10);
          const int value = capture == 0 ? level - d : level + d;
          s.push_back(static_cast<std::uint16_t>(value));
          s.push_back(static_cast<std::uint16_t>(value));
        }
      write_samples(dir.file("s_noise_LCG_exp_20_again_" + gain + "_" + std::to_string(capture) + ".raw"), s);
    }
  }
  ShotNoiseFileParam param(std::vector<Number> gains) const {
    ShotNoiseFileParam p;
    p.inp_file_dir = dir.path();
    p.out_file_dir = dir.path();
    p.height = 2;
    p.width = 2 * kPlaneCols;
    p.again_list = std::move(gains);
    return p;
  }
  ShotNoiseTuningParam levels;
  ScratchDir dir;
  ShotNoise() {
    levels.black_level = {0, 0, 0, 0};
    levels.white_level = {1000, 1000, 1000, 1000};
    levels.freq_threshold = 1;
  }
};

TEST_F(ShotNoise, LevelRangeComesFromTheUnclippedStartAndWholePlanePercentiles) {
  captures("1", 1);
  const auto m = measure_shot_noise(param({Number::of_integer(1)}), levels);
  ASSERT_EQ(m.gains.size(), 1u);
  const LevelFit& fit = m.gains[0].cells[2];
  // Start 5 raised to the 0.1th percentile 10; the end stays 5 + 200, below the 80th percentile 300.
  EXPECT_EQ(fit.min_value, 10);
  EXPECT_EQ(fit.max_value, 205);
  EXPECT_EQ(fit.values, (std::vector<double>{10, 20, 30}));
  EXPECT_EQ(fit.variances, (std::vector<double>{1, 4, 9}));
  EXPECT_EQ(fit.freqs, (std::vector<double>{6, 20, 20}));
  EXPECT_DOUBLE_EQ(fit.k, fit_polynomial(fit.values, fit.variances, 1, 1, fit.freqs).at(0, 0));
  // 256-scale: levels x R, variances x R^2, so the slope scales by R.
  EXPECT_NEAR(fit.k256, fit.k * 256.0 / 1000, 1e-12);
}

TEST_F(ShotNoise, FrequencyThresholdIsInclusiveAndNeverAdmitsEmptyLevels) {
  captures("1", 1);
  const auto p = param({Number::of_integer(1)});
  levels.freq_threshold = 6;
  EXPECT_EQ(measure_shot_noise(p, levels).gains[0].cells[0].values, (std::vector<double>{10, 20, 30}));
  levels.freq_threshold = 7;
  EXPECT_EQ(measure_shot_noise(p, levels).gains[0].cells[0].values, (std::vector<double>{20, 30}));
  for (std::int64_t threshold : {0, -5}) {
    levels.freq_threshold = threshold;
    EXPECT_EQ(measure_shot_noise(p, levels).gains[0].cells[1].values, (std::vector<double>{10, 20, 30}));
  }
  levels.freq_threshold = 21;
  try {
    measure_shot_noise(p, levels);
    FAIL() << "no level passes the threshold";
  } catch (const CalibrationError& e) {
    EXPECT_NE(std::string(e.what()).find("cell position 0 at analog gain 1"), std::string::npos) << e.what();
  }
}

TEST_F(ShotNoise, RegionsSelectPixelsButNotTheLevelRange) {
  captures("1", 1);
  levels.rois = {{0, 0, 2, 6}, {0, 4, 2, 6}};  // plane columns 0..2 and, again, column 2
  const LevelFit fit = measure_shot_noise(param({Number::of_integer(1)}), levels).gains[0].cells[3];
  EXPECT_EQ(fit.values, (std::vector<double>{10}));
  EXPECT_EQ(fit.freqs, (std::vector<double>{8}));
  EXPECT_EQ(fit.max_value, 205);
}

TEST_F(ShotNoise, FactorsOfAllGainsAreFittedAsALineOfTheGain) {
  captures("1", 1);
  captures("4", 2);
  const auto p = param({Number::of_integer(1), Number::of_integer(2), Number::of_integer(4)});
  const auto m = measure_shot_noise(p, levels);
  ASSERT_EQ(m.gains.size(), 2u);
  const ShotNoiseProfile profile = calibrate_shot_noise(p, levels);
  ASSERT_EQ(profile.coeffs.size(), 4u);
  for (int c = 0; c < 4; ++c) {
    const double k1 = m.gains[0].cells[c].k, k4 = m.gains[1].cells[c].k;
    EXPECT_NEAR(profile.coeffs[c][0], (k4 - k1) / 3, 1e-12);
    EXPECT_NEAR(profile.coeffs[c][1], k1 - (k4 - k1) / 3, 1e-12);
    EXPECT_NEAR(profile.coeffs_256[c][0], profile.coeffs[c][0] * 0.256, 1e-12);
  }
}

TEST_F(ShotNoise, OneGainGivesTheMinimumNormLine) {
  captures("4", 1);
  const auto p = param({Number::of_integer(4)});
  const double k = measure_shot_noise(p, levels).gains[0].cells[0].k;
  const ShotNoiseProfile profile = calibrate_shot_noise(p, levels);
  EXPECT_NEAR(profile.coeffs[0][0], k / 8, 1e-12);
  EXPECT_NEAR(profile.coeffs[0][1], k / 2, 1e-12);
}

TEST_F(ShotNoise, FailuresAreClear) {
  try {
    calibrate_shot_noise(param({Number::of_integer(1), Number::of_real(2.0)}), levels);
    FAIL() << "no captures";
  } catch (const CalibrationError& e) {
    EXPECT_NE(std::string(e.what()).find("no noise captures for any analog gain in again_list [1, 2.0]"),
              std::string::npos)
        << e.what();
  }
  captures("1", 1);
  EXPECT_THROW(calibrate_shot_noise(param({Number::of_integer(1)}), ShotNoiseTuningParam{}), DivisionByZero);
  auto wrong = param({Number::of_integer(1)});
  wrong.width = 78;
  EXPECT_THROW(calibrate_shot_noise(wrong, levels), CalibrationError);
}

TEST_F(ShotNoise, EntryWritesTheProfileAsTheHostWould) {
  captures("1", 1);
  captures("2", 2);
  ShotNoiseEntry entry{param({Number::of_integer(1), Number::of_integer(2)}), levels};
  const std::string path = run_shot_noise_entry(entry);
  EXPECT_EQ(path, dir.file("shot_noise.json"));
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const ShotNoiseProfile profile = calibrate_shot_noise(entry.file_param, entry.tuning_param);
  EXPECT_EQ(text.str(), python_json_text(to_json(profile)));
  EXPECT_EQ(text.str().rfind("{\n    \"module\": \"shot_noise\",\n    \"coeffs\": [\n        [\n            ", 0), 0u);
  EXPECT_EQ(text.str().back(), '}');
}

}  // namespace
}  // namespace tuning::noise
