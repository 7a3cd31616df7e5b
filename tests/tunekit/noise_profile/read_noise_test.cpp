#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "noise_profile/capture_bands.h"
#include "noise_profile/capture_sums.h"
#include "noise_profile/polynomial_fit.h"
#include "noise_profile/read_noise_model.h"
#include "shared/errors.h"
#include "test_files.h"

namespace tuning::noise {
namespace {

using tunekit_test::filled;
using tunekit_test::ScratchDir;
using tunekit_test::write_samples;

// Samples of a frame whose value at (row, column) is f(row, column).
template <typename F>
Samples frame(std::int64_t h, std::int64_t w, F f) {
  Samples s(static_cast<std::size_t>(h * w));
  for (std::int64_t y = 0; y < h; ++y)
    for (std::int64_t x = 0; x < w; ++x) s[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint16_t>(f(y, x));
  return s;
}

std::string invalid_shape_message(const std::function<void()>& call) {
  try {
    call();
  } catch (const CalibrationError& e) {
    return e.what();
  }
  return "no error";
}

// ---- accumulate_capture_sums -------------------------------------------------

TEST(CaptureSums, ExactPerPixelSumsAndSquaresOverCaptures) {
  ScratchDir dir;
  const std::vector<Samples> frames = {frame(4, 6, [](auto y, auto x) { return 65535 - y * 6 - x; }),
                                       frame(4, 6, [](auto y, auto x) { return y * 6 + x; }), filled(24, 65535),
                                       filled(24, 65535), filled(24, 65534)};
  std::vector<std::string> files;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    files.push_back(dir.file("f" + std::to_string(i) + ".raw"));
    write_samples(files.back(), frames[i]);
  }
  const CaptureSums sums = accumulate_capture_sums(files, 4, 6);
  ASSERT_EQ(sums.num, 5);
  ASSERT_EQ(sums.sum_arr.size(), 24u);
  for (std::size_t i = 0; i < 24; ++i) {
    double s = 0, q = 0;
    for (const auto& f : frames) {
      s += f[i];
      q += static_cast<double>(f[i]) * f[i];
    }
    EXPECT_EQ(sums.sum_arr[i], s) << i;
    EXPECT_EQ(sums.square_sum_arr[i], q) << i;  // 5 x 65535^2 is exact in a double
  }
}

TEST(CaptureSums, BandsAcrossATallFrameMatchDirectSums) {
  // Two full bands and a short last one, folded on more than one thread, by
  // four captures at a time and then one by one.
  ScratchDir dir;
  const std::int64_t w = 8, h = 2 * band_rows_for(w) + 4;
  std::vector<std::string> files;
  for (int i = 0; i < 5; ++i) {
    files.push_back(dir.file("t" + std::to_string(i) + ".raw"));
    write_samples(files.back(), frame(h, w, [i](auto y, auto x) { return (y * 31 + x * 7 + i * 1000) % 4096; }));
  }
  const CaptureSums sums = accumulate_capture_sums(files, h, w);
  for (std::int64_t y = 0; y < h; y += 37)
    for (std::int64_t x = 0; x < w; ++x) {
      double s = 0, q = 0;
      for (int i = 0; i < 5; ++i) {
        const double v = (y * 31 + x * 7 + i * 1000) % 4096;
        s += v;
        q += v * v;
      }
      ASSERT_EQ(sums.sum_arr[static_cast<std::size_t>(y * w + x)], s) << y << "," << x;
      ASSERT_EQ(sums.square_sum_arr[static_cast<std::size_t>(y * w + x)], q) << y << "," << x;
    }
}

TEST(CaptureSums, UnusableCapturesFailWithTheShapeMessage) {
  ScratchDir dir;
  write_samples(dir.file("short.raw"), filled(23, 1));
  write_samples(dir.file("long.raw"), filled(25, 1));
  write_samples(dir.file("good.raw"), filled(24, 1));
  for (const char* name : {"short.raw", "long.raw", "missing.raw"})
    EXPECT_EQ(invalid_shape_message([&] {
                accumulate_capture_sums({dir.file("good.raw"), dir.file(name)}, 4, 6);
              }),
              kInvalidImageShape)
        << name;
  const CaptureSums none = accumulate_capture_sums({}, 4, 6);
  EXPECT_EQ(none.num, 0);
  EXPECT_EQ(none.sum_arr, std::vector<double>(24, 0.0));
}

// ---- fit_polynomial -----------------------------------------------------------

TEST(PolynomialFit, RecoversAnExactPolynomialPerColumn) {
  const std::vector<double> x = {1, 2, 4, 8};
  std::vector<double> y;
  for (double g : x) {
    y.push_back(0.04 * g * g + 0.35 * g + 0.6);
    y.push_back(-2 * g * g + 5);
  }
  const PolynomialFit fit = fit_polynomial(x, y, 2, 2);
  EXPECT_EQ(fit.rank, 3);
  EXPECT_NEAR(fit.at(0, 0), 0.04, 1e-12);
  EXPECT_NEAR(fit.at(1, 0), 0.35, 1e-12);
  EXPECT_NEAR(fit.at(2, 0), 0.6, 1e-12);
  EXPECT_NEAR(fit.at(0, 1), -2, 1e-12);
  EXPECT_NEAR(fit.at(1, 1), 0, 1e-12);
  EXPECT_NEAR(fit.at(2, 1), 5, 1e-12);
}

TEST(PolynomialFit, RankDeficientFitsGiveTheMinimumNormAnswerOfTheScaledProblem) {
  // One point x = 2, y = 5: scaled columns (4, 2, 1) / (4, 2, 1) = (1, 1, 1),
  // minimum-norm p = (5/3, 5/3, 5/3), unscaled (5/12, 5/6, 5/3).
  PolynomialFit one = fit_polynomial({2}, {5}, 1, 2);
  EXPECT_EQ(one.rank, 1);
  EXPECT_NEAR(one.at(0, 0), 5.0 / 12, 1e-14);
  EXPECT_NEAR(one.at(1, 0), 5.0 / 6, 1e-14);
  EXPECT_NEAR(one.at(2, 0), 5.0 / 3, 1e-14);
  // Two points (1, 1), (2, 3): scale (sqrt 17, sqrt 5, sqrt 2); B = A S^-1,
  // p = B^T (B B^T)^-1 y works out to (17, 19, -1) / 35 after unscaling.
  PolynomialFit two = fit_polynomial({1, 2}, {1, 3}, 1, 2);
  EXPECT_EQ(two.rank, 2);
  EXPECT_NEAR(two.at(0, 0), 17.0 / 35, 1e-14);
  EXPECT_NEAR(two.at(1, 0), 19.0 / 35, 1e-14);
  EXPECT_NEAR(two.at(2, 0), -1.0 / 35, 1e-14);
  // A line through one point at gain 4: (k / 8, k / 2).
  PolynomialFit line = fit_polynomial({4}, {3}, 1, 1, {1.0});
  EXPECT_NEAR(line.at(0, 0), 3.0 / 8, 1e-15);
  EXPECT_NEAR(line.at(1, 0), 3.0 / 2, 1e-15);
}

TEST(PolynomialFit, WeightsMultiplyResidualsNotTheirSquares) {
  // Weight 2 on the middle point equals that point counted four times.
  const PolynomialFit weighted = fit_polynomial({0, 1, 3}, {0, 3, 2}, 1, 1, {1, 2, 1});
  const PolynomialFit repeated = fit_polynomial({0, 1, 1, 1, 1, 3}, {0, 3, 3, 3, 3, 2}, 1, 1);
  EXPECT_NEAR(weighted.at(0, 0), repeated.at(0, 0), 1e-12);
  EXPECT_NEAR(weighted.at(1, 0), repeated.at(1, 0), 1e-12);
  const PolynomialFit squared = fit_polynomial({0, 1, 1, 3}, {0, 3, 3, 2}, 1, 1);
  EXPECT_GT(std::abs(weighted.at(0, 0) - squared.at(0, 0)), 0.05);
}

TEST(PolynomialFit, AnAllZeroColumnGetsCoefficientZero) {
  // Every x is 0: the slope column carries nothing; the answer is the mean.
  const PolynomialFit fit = fit_polynomial({0, 0, 0}, {1, 2, 6}, 1, 1);
  EXPECT_EQ(fit.at(0, 0), 0.0);
  EXPECT_NEAR(fit.at(1, 0), 3.0, 1e-14);
}

TEST(PolynomialFit, RejectsInconsistentInput) {
  EXPECT_THROW(fit_polynomial({}, {}, 1, 1), ShapeError);
  EXPECT_THROW(fit_polynomial({1, 2}, {1}, 1, 1), ShapeError);
  EXPECT_THROW(fit_polynomial({1, 2}, {1, 2}, 1, 1, {1}), ShapeError);
  EXPECT_THROW(fit_polynomial({1, 2}, {1, std::nan("")}, 1, 1), ShapeError);
  EXPECT_THROW(fit_polynomial({1, 2}, {1, 2}, 1, -1), ShapeError);
}

// ---- calibrate_read_noise ------------------------------------------------------

class ReadNoise : public ::testing::Test {
 protected:
  ReadNoiseFileParam param(std::vector<Number> gains) {
    ReadNoiseFileParam p;
    p.inp_file_dir = dir.path() + "/";
    p.out_file_dir = dir.path();
    p.height = 4;
    p.width = 4;
    p.again_list = std::move(gains);
    return p;
  }
  void dark(const std::string& gain, int index, const Samples& samples, const std::string& mode = "LCG") {
    write_samples(dir.file("c_dark_" + mode + "_exp_20_again_" + gain + "_" + std::to_string(index) + ".raw"), samples);
  }
  ReadNoiseTuningParam levels{{3200, 3200, 3200, 3200}, {65500, 65500, 65500, 65500}};
  ScratchDir dir;
};

// Cell c of a 4 x 4 frame holds base + c for cells (0,0) and (1,1), base - c elsewhere.
Samples cell_pattern(int base) {
  return frame(4, 4, [base](auto y, auto x) {
    const int c = static_cast<int>(2 * (y % 2) + x % 2);
    const bool plus = (y / 2) == (x / 2);
    return plus ? base + c : base - c;
  });
}

TEST_F(ReadNoise, PopulationVariancePerCellPositionOverAllCaptures) {
  dark("1", 0, cell_pattern(3300));
  dark("1", 1, cell_pattern(3310));
  const ReadNoiseMeasurements m = measure_read_noise(param({Number::of_integer(1)}), levels);
  ASSERT_EQ(m.analog_gains, std::vector<double>{1.0});
  for (int c = 0; c < 4; ++c) {
    // Samples of cell c: base +- c for bases 3300 and 3310, two of each.
    const std::vector<double> v = {3300.0 + c, 3300.0 + c, 3300.0 - c, 3300.0 - c,
                                   3310.0 + c, 3310.0 + c, 3310.0 - c, 3310.0 - c};
    double mean = 0, var = 0;
    for (double s : v) mean += s / 8;
    for (double s : v) var += (s - mean) * (s - mean) / 8;
    EXPECT_DOUBLE_EQ(m.sigmas[0][c], var) << c;
    const double r = 256.0 / (65500 - 3200);
    EXPECT_DOUBLE_EQ(m.sigmas_256[0][c], var * r * r) << c;
  }
}

TEST_F(ReadNoise, NarrowAndFullRangeRowsGiveTheExactVariance) {
  // Rows of 70 samples run through the vector lanes and a scalar tail; rows
  // spanning under 4096 levels are summed as offsets, wider rows directly.
  auto p = param({Number::of_integer(1), Number::of_integer(2)});
  p.width = 70;
  std::uint32_t seed = 7;
  const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  const Samples narrow = frame(4, 70, [&](auto, auto) { return 60000 + next() % 4096; });
  const Samples wide = frame(4, 70, [&](auto y, auto) { return y == 1 ? 65535 : next() % 65536; });
  dark("1", 0, narrow);
  dark("2", 0, wide);
  const auto m = measure_read_noise(p, levels);
  for (int g = 0; g < 2; ++g) {
    const Samples& f = g == 0 ? narrow : wide;
    for (int c = 0; c < 4; ++c) {
      unsigned __int128 s = 0, q = 0, n = 0;
      for (std::int64_t y = c / 2; y < 4; y += 2)
        for (std::int64_t x = c % 2; x < 70; x += 2) {
          const std::uint64_t v = f[static_cast<std::size_t>(y * 70 + x)];
          s += v;
          q += v * v;
          ++n;
        }
      const long double exact = static_cast<long double>(n * q - s * s) / static_cast<long double>(n * n);
      EXPECT_EQ(m.sigmas[g][c], static_cast<double>(exact)) << "gain " << g << " cell " << c;
    }
  }
}

TEST_F(ReadNoise, ConstantCapturesHaveNoVarianceAndFileOrderDoesNotMatter) {
  dark("2", 0, filled(16, 4000));
  dark("2", 1, filled(16, 4000));
  EXPECT_EQ(measure_read_noise(param({Number::of_integer(2)}), levels).sigmas[0], (CellValues{0, 0, 0, 0}));
  ScratchDir other;
  auto p = param({Number::of_integer(2)});
  dark("3", 0, cell_pattern(5000));
  dark("3", 1, cell_pattern(9000));
  p.again_list = {Number::of_integer(3)};
  const auto forward = measure_read_noise(p, levels);
  std::filesystem::rename(dir.file("c_dark_LCG_exp_20_again_3_0.raw"), dir.file("z_dark_LCG_exp_20_again_3_9.raw"));
  EXPECT_EQ(measure_read_noise(p, levels).sigmas, forward.sigmas);
}

TEST_F(ReadNoise, GainsWithoutCapturesAreSkippedAndRepeatedGainsCountTwice) {
  dark("1", 0, cell_pattern(3300));
  dark("4", 0, cell_pattern(3300));
  dark("2.0", 0, cell_pattern(3300));
  dark("8", 0, cell_pattern(3300), "HCG");
  const auto m = measure_read_noise(param({Number::of_integer(1), Number::of_integer(2), Number::of_real(2.0),
                                           Number::of_integer(8), Number::of_integer(4), Number::of_integer(4)}),
                                    levels);
  EXPECT_EQ(m.analog_gains, (std::vector<double>{1, 2, 4, 4}));
  EXPECT_EQ(m.sigmas[2], m.sigmas[3]);
}

TEST_F(ReadNoise, NoCapturesGiveAnEmptyProfileWithoutReadingTheLevels) {
  const ReadNoiseProfile p = calibrate_read_noise(param({Number::of_integer(1)}), ReadNoiseTuningParam{});
  EXPECT_EQ(p.module, "read_noise");
  EXPECT_TRUE(p.coeffs.empty());
  EXPECT_TRUE(p.coeffs_256.empty());
  EXPECT_EQ(python_json_text(to_json(p)),
            "{\n    \"module\": \"read_noise\",\n    \"coeffs\": [],\n    \"coeffs_256\": []\n}");
}

TEST_F(ReadNoise, OneGainGivesTheMinimumNormQuadratic) {
  dark("2", 0, cell_pattern(3300));
  dark("2", 1, cell_pattern(3302));
  const auto p = param({Number::of_integer(2)});
  const auto m = measure_read_noise(p, levels);
  const ReadNoiseProfile profile = calibrate_read_noise(p, levels);
  ASSERT_EQ(profile.coeffs.size(), 4u);
  for (int c = 0; c < 4; ++c) {
    const double s = m.sigmas[0][c];
    EXPECT_NEAR(profile.coeffs[c][0], s / 12, 1e-12 * (1 + s));
    EXPECT_NEAR(profile.coeffs[c][1], s / 6, 1e-12 * (1 + s));
    EXPECT_NEAR(profile.coeffs[c][2], s / 3, 1e-12 * (1 + s));
  }
}

TEST_F(ReadNoise, FailuresNameTheirCause) {
  dark("1", 0, cell_pattern(3300));
  auto p = param({Number::of_integer(1)});
  ReadNoiseTuningParam flat = levels;
  flat.white_level[2] = flat.black_level[2];
  EXPECT_THROW(measure_read_noise(p, flat), DivisionByZero);
  ReadNoiseTuningParam short_levels = levels;
  short_levels.black_level.resize(3);
  EXPECT_THROW(measure_read_noise(p, short_levels), std::out_of_range);
  p.width = 5;
  EXPECT_EQ(invalid_shape_message([&] { measure_read_noise(p, levels); }), kInvalidImageShape);
  p.width = 1;
  p.height = 16;
  EXPECT_THROW(measure_read_noise(p, levels), ShapeError);  // 16 samples, but an odd width has no Bayer cells
  p.height = 2;
  p.width = 8;
  EXPECT_NO_THROW(measure_read_noise(p, levels));  // any exact even shape is a frame
}

TEST_F(ReadNoise, EntryWritesTheProfileAndLeavesNoFileOnFailure) {
  dark("1", 0, cell_pattern(3300));
  dark("2", 0, cell_pattern(3310));
  dark("4", 0, cell_pattern(3350));
  ReadNoiseEntry entry{param({Number::of_integer(1), Number::of_integer(2), Number::of_integer(4)}), levels};
  entry.file_param.out_file_dir = dir.file("out");
  EXPECT_THROW(run_read_noise_entry(entry), std::filesystem::filesystem_error);
  std::filesystem::create_directory(dir.file("out"));
  const std::string path = run_read_noise_entry(entry);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), python_json_text(to_json(calibrate_read_noise(entry.file_param, entry.tuning_param))));
  EXPECT_EQ(text.str().rfind("{\n    \"module\": \"read_noise\",\n    \"coeffs\": [\n        [\n            ", 0), 0u);

  entry.tuning_param.white_level = entry.tuning_param.black_level;
  std::filesystem::remove(path);
  EXPECT_THROW(run_read_noise_entry(entry), DivisionByZero);
  EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace tuning::noise
