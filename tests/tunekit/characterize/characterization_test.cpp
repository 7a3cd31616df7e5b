#include "characterize/characterization.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "characterize/condition_moments.h"
#include "noise_profile/read_noise_model.h"
#include "noise_profile/shot_noise_model.h"
#include "shared/errors.h"
#include "shared/json_text.h"
#include "synthetic_sensor.h"
#include "test_files.h"

namespace tuning::characterize {
namespace {

using tunekit_test::Frames;
using tunekit_test::GainTruth;
using tunekit_test::SensorTruth;
using tunekit_test::SyntheticSensor;

constexpr std::int64_t kRows = 64, kCols = 96;
const GainTruth kGain1{0.5, 3.0};
const GainTruth kGain4{2.0, 2.0};
// Flat fields as shares of the full well: a wide linear part, then steps of
// 0.05 through saturation.
const std::vector<double> kSweep = {0.01, 0.02, 0.05, 0.1, 0.2,  0.3, 0.4,  0.5, 0.6,
                                    0.7,  0.8,  0.85, 0.9, 0.95, 1.0, 1.05, 1.2};
constexpr double kSweepStep = 0.05;

GainCaptures gain_captures(SyntheticSensor& sensor, const Number& gain, const GainTruth& truth, int captures,
                           const std::vector<double>& wells) {
  GainCaptures g;
  g.analog_gain = gain;
  g.dark = sensor.dark(truth, captures).set();
  for (double share : wells)
    g.flats.push_back({100.0 * share, sensor.flat(truth, captures, share * sensor.truth().full_well_e).set()});
  return g;
}

ModeCaptures mode_of(std::vector<GainCaptures> gains) {
  ModeCaptures m;
  m.height = kRows;
  m.width = kCols;
  m.gains = std::move(gains);
  return m;
}

CharacterizationParam param_for(const SensorTruth& truth) {
  CharacterizationParam p;
  p.white_level.fill(truth.white_dn);
  return p;
}

const QualityFlag& flag_named(const CellCharacterization& cell, const std::string& name) {
  for (const QualityFlag& f : cell.flags)
    if (f.name == name) return f;
  throw std::runtime_error("no flag " + name);
}

// Relative spread of a slope fitted to variances: a point of m pixels of n
// samples each has a variance y that spreads by sqrt(2 / (n - 1)) of itself
// per pixel, so a line over signals x weighted by m has a slope spread of
// sqrt(2 / (n - 1)) sqrt(sum m y^2 (x - mean x)^2) / sum m (x - mean x)^2.
double slope_spread(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& pixels,
                    int n, double slope) {
  double w = 0, wx = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    w += pixels[i];
    wx += pixels[i] * x[i];
  }
  const double mean = wx / w;
  double spread = 0, leverage = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double dx = x[i] - mean;
    spread += pixels[i] * y[i] * y[i] * dx * dx;
    leverage += pixels[i] * dx * dx;
  }
  return std::sqrt(2.0 / (n - 1)) * std::sqrt(spread) / leverage / slope;
}

// The same for the conversion gain of a cell, over the points of its fit.
double k_spread(const CellCharacterization& cell, int n) {
  std::vector<double> x, y, pixels;
  for (const CurvePoint& p : cell.curve)
    if (p.in_fit) {
      x.push_back(p.signal);
      y.push_back(p.temporal_variance);
      pixels.push_back(p.pixels);
    }
  return slope_spread(x, y, pixels, n, cell.conversion_gain);
}

// ---- exact moments over bands ---------------------------------------------------------

// A frame taller than one band, with a last band of fewer rows, against
// sums taken pixel by pixel.
TEST(ConditionMoments, MatchDirectSumsAcrossBandsAndCellPositions) {
  const std::int64_t rows = 470, cols = 64;  // bands of 226 rows: the last holds 18
  SyntheticSensor sensor(rows, cols, {0.5, 0.02}, 7);
  const Frames frames = sensor.capture({1.5, 2.0}, 3, [](std::int64_t y, std::int64_t x) { return 10.0 + y + 3 * x; });
  UniformMoments uniform;
  LevelMoments levels;
  DarkFrame dark;  // a pixel's dark sum tells where it is: each level's total is a sum of known places
  dark.captures = 2;
  for (std::int64_t i = 0; i < rows * cols; ++i) dark.sums.push_back(static_cast<std::uint32_t>(1000 + 7 * i));
  fold_condition(frames.set(), rows, cols, 1, [&](const PixelBand& b, int) {
    uniform.add(b);
    levels.add(b, dark);
  });
  for (int c = 0; c < kCellPositions; ++c) {
    double sum = 0, spread = 0;
    std::vector<double> means;
    std::map<std::size_t, std::uint64_t> level_pixels, level_dark;
    for (std::int64_t y = c / 2; y < rows; y += 2)
      for (std::int64_t x = c % 2; x < cols; x += 2) {
        double s1 = 0, s2 = 0;
        for (const auto& f : frames.captures) {
          const double v = f[static_cast<std::size_t>(y * cols + x)];
          s1 += v;
          s2 += v * v;
        }
        sum += s1;
        spread += (s2 - s1 * s1 / 3) / 2;
        means.push_back(s1 / 3);
        // The level of a pixel is its mean truncated: 3.67 is level 3, 4.0 level 4.
        ++level_pixels[static_cast<std::size_t>(s1) / 3];
        level_dark[static_cast<std::size_t>(s1) / 3] += dark.sums[static_cast<std::size_t>(y * cols + x)];
      }
    const double p = static_cast<double>(means.size());
    double mean_of_means = 0, spatial = 0;
    for (double m : means) mean_of_means += m / p;
    for (double m : means) spatial += (m - mean_of_means) * (m - mean_of_means) / (p - 1);
    EXPECT_EQ(uniform.pixels(c), means.size());
    EXPECT_NEAR(uniform.mean(c), sum / (3 * p), 1e-9);
    EXPECT_NEAR(uniform.temporal_variance(c), spread / p, 1e-9);
    EXPECT_NEAR(uniform.mean_frame_variance(c), spatial, 1e-7);
    EXPECT_LE(levels.lowest(c), level_pixels.begin()->first);
    EXPECT_GE(levels.highest(c), level_pixels.rbegin()->first);
    for (std::size_t v = levels.lowest(c); v <= levels.highest(c); ++v) {
      EXPECT_EQ(levels.level(c, v).pixels, level_pixels.count(v) ? level_pixels[v] : 0) << "level " << v;
      EXPECT_EQ(levels.level(c, v).dark, level_dark.count(v) ? level_dark[v] : 0) << "level " << v;
    }
  }
  // Emptied for the next condition: nothing of this one is left.
  std::array<std::size_t, kCellPositions> lowest{}, highest{};
  for (int c = 0; c < kCellPositions; ++c) {
    lowest[c] = levels.lowest(c);
    highest[c] = levels.highest(c);
  }
  levels.reset();
  for (int c = 0; c < kCellPositions; ++c) {
    EXPECT_GT(levels.lowest(c), levels.highest(c));
    for (std::size_t v = lowest[c]; v <= highest[c]; ++v) EXPECT_EQ(levels.level(c, v).pixels, 0u) << "level " << v;
  }
}

// An integer mean is its own level, also where the product with a rounded
// 1 / n comes out just below it.
TEST(ConditionMoments, AnIntegerMeanIsItsOwnLevel) {
  Frames frames;
  frames.width = 2;
  frames.captures.assign(49, std::vector<std::uint16_t>(4, 50901));
  LevelMoments levels;
  const DarkFrame dark{std::vector<std::uint32_t>(4, 0), 1};
  fold_condition(frames.set(), 2, 2, 1, [&](const PixelBand& b, int) { levels.add(b, dark); });
  for (int c = 0; c < kCellPositions; ++c) {
    EXPECT_EQ(levels.level(c, 50901).pixels, 1u);
    EXPECT_EQ(levels.lowest(c), 50901u);
  }
}

// ---- recovery of the truth -----------------------------------------------------------

struct SetShape {
  int captures;
  double dsnu_e;
  double prnu;
};

class TruthRecovery : public ::testing::TestWithParam<SetShape> {};

// Tolerances, with P pixels per cell position and n captures per condition:
// - an unbiased variance from P pixels of n samples spreads by
//   s = sqrt(2 / (P (n - 1))) of itself; K, the slope over the linear part,
//   is no less certain than one of its brightest points: |K^/K - 1| <= 4 s;
// - the dark noise spreads by s / 2, so read noise in e- by sqrt(s^2 / 4 + s^2);
//   its truth includes the rounding to DN: sqrt(r^2 + 1 / (12 K^2));
// - the variance of the mean frame spreads by (its value) sqrt(2 / P), its
//   value being DSNU^2 + temporal / n (dark) or PRNU^2 S^2 + DSNU^2 + temporal / n
//   at signal S (flat): DSNU^2 and PRNU^2 within 4 times that;
// - the variance peaks on a flat at most two sweep steps below the full well;
//   a flat's mean signal spreads by K sqrt(electrons / (P n)).
TEST_P(TruthRecovery, RecoversConversionGainNoiseNonUniformityAndSaturation) {
  const SetShape shape = GetParam();
  SensorTruth truth;
  truth.dsnu_e = shape.dsnu_e;
  truth.prnu = shape.prnu;
  truth.offset_dn = 256.0;  // room below the dark level for a strong dark pattern
  SyntheticSensor sensor(kRows, kCols, truth, 1000u + static_cast<unsigned>(shape.captures));
  const int n = shape.captures;
  const ModeCharacterization result =
      characterize_mode(mode_of({gain_captures(sensor, Number::of_integer(1), kGain1, n, kSweep),
                                 gain_captures(sensor, Number::of_integer(4), kGain4, n, kSweep)}),
                        param_for(truth));
  ASSERT_EQ(result.gains.size(), 2u);
  const double p = static_cast<double>(sensor.pixels_per_cell());
  const double s = std::sqrt(2.0 / (p * (n - 1)));
  const double fw = truth.full_well_e;
  for (std::size_t g = 0; g < 2; ++g) {
    const GainTruth& gt = g == 0 ? kGain1 : kGain4;
    const GainCharacterization& gain = result.gains[g];
    EXPECT_EQ(gain.curve_source, "flat");
    EXPECT_TRUE(gain.warnings.empty()) << gain.warnings.front();
    const double temporal = gt.k * gt.k * gt.read_noise_e * gt.read_noise_e + 1.0 / 12.0;
    const double dsnu2 = std::pow(gt.k * truth.dsnu_e, 2);
    for (int c = 0; c < kCellPositions; ++c) {
      const CellCharacterization& cell = gain.cells[c];
      SCOPED_TRACE("gain " + gain.analog_gain.text() + " cell " + std::to_string(c));
      const double dark_level_spread = std::sqrt((temporal / n + dsnu2) / p);
      EXPECT_NEAR(cell.dark_level, truth.offset_dn, 4 * dark_level_spread);
      const double ks = k_spread(cell, n);
      EXPECT_NEAR(cell.conversion_gain / gt.k, 1.0, 4 * ks);
      const double read_truth = std::sqrt(gt.read_noise_e * gt.read_noise_e + 1.0 / (12 * gt.k * gt.k));
      EXPECT_NEAR(cell.read_noise_e / read_truth, 1.0, 4 * std::sqrt(s * s / 4 + ks * ks));
      EXPECT_NEAR(cell.dsnu_variance, dsnu2, 4 * (dsnu2 + temporal / n) * std::sqrt(2.0 / p));

      const double signal = cell.prnu_signal;
      ASSERT_GT(signal, 0.3 * gt.k * fw);
      const double lit = gt.k * signal + temporal;
      const double prnu2 = std::pow(truth.prnu * signal, 2);
      const double prnu_tolerance =
          4 * ((prnu2 + dsnu2 + lit / n) * std::sqrt(2.0 / p) + (dsnu2 + temporal / n) * std::sqrt(2.0 / p));
      EXPECT_NEAR(std::pow(cell.prnu / 100.0 * signal, 2), prnu2, prnu_tolerance);

      const double flat_mean_spread = gt.k * std::sqrt(fw / (p * n));
      EXPECT_GE(cell.saturation_signal, gt.k * fw * (1.0 - 2 * kSweepStep) - 4 * flat_mean_spread);
      EXPECT_LE(cell.saturation_signal, gt.k * fw);
      EXPECT_NEAR(cell.saturation_level, truth.offset_dn + cell.saturation_signal, 4 * dark_level_spread);
      EXPECT_GE(cell.saturation_capacity_e, fw * (1.0 - 2 * kSweepStep) * (1 - 4 * ks));
      EXPECT_LE(cell.saturation_capacity_e, fw * (1 + 4 * ks));
      EXPECT_NEAR(cell.dynamic_range_db, 20 * std::log10(cell.saturation_capacity_e / cell.read_noise_e), 1e-9);
      // A linear sensor: what is left is the spread of the flats' means.
      EXPECT_LT(cell.linearity_error, 0.5);
      EXPECT_GE(cell.levels, kMinLevels);
      for (const CurvePoint& point : cell.curve)
        if (point.in_fit) EXPECT_LE(point.signal, 0.7 * cell.saturation_signal);
    }
  }
}

// The last set's dark pattern outweighs the temporal noise of the flats'
// mean frames: PRNU must not take it for a spread of the response.
INSTANTIATE_TEST_SUITE_P(Captures, TruthRecovery,
                         ::testing::Values(SetShape{4, 0.0, 0.0}, SetShape{4, 1.0, 0.01}, SetShape{8, 0.0, 0.0},
                                           SetShape{8, 1.0, 0.01}, SetShape{16, 0.0, 0.0}, SetShape{16, 1.0, 0.01},
                                           SetShape{16, 20.0, 0.0}),
                         [](const ::testing::TestParamInfo<SetShape>& info) {
                           const SetShape& s = info.param;
                           return std::to_string(s.captures) + "Captures" +
                                  (s.dsnu_e == 0.0 ? "WithoutPattern"
                                   : s.prnu == 0.0 ? "WithStrongDarkPattern"
                                                   : "WithPattern");
                         });

}  // namespace
}  // namespace tuning::characterize

namespace tuning::characterize {
namespace {

using tunekit_test::ScratchDir;
using tunekit_test::write_samples;

// ---- the calibrations' numbers on the same set ------------------------------------------

// A still scene lit from 2 % to 80 % of the full well, rising along the rows
// and, within a column, down the rows: the signals are spread evenly, so
// binning pixels by their noisy means does not tilt the curve (as separated
// steps of light would).
double ramp(std::int64_t y, std::int64_t x) {
  const double position = (static_cast<double>(x) + static_cast<double>(y) / 256.0) / 512.0;
  return 1500.0 * (0.02 + 0.78 * position);
}

class CalibrationRelation : public ::testing::TestWithParam<int> {};

double calibration_slope_spread(const noise::LevelFit& fit, int n) {
  std::vector<double> pixels;
  for (double f : fit.freqs) pixels.push_back(f / n);
  return slope_spread(fit.values, fit.variances, pixels, n, fit.k);
}

// Dark and scene captures go both to the read noise and shot noise
// calibrations (through files) and to the characterisation (through the
// source). The read noise calibration's variance of the whole dark plane is
// temporal (n - 1) / n + mean-frame variance (P - 1) / P, so temporal + DSNU^2
// exceeds it by the mean-frame variance / P: within 1 / P of it. The shot
// noise factor divides by n instead of n - 1: K (n - 1) / n, within 4 times
// the two slopes' spreads combined (slope_spread).
TEST_P(CalibrationRelation, PredictsTheReadNoiseAndShotNoiseCalibrations) {
  const int n = GetParam();
  const std::int64_t rows = 256, cols = 512;
  SensorTruth truth;
  truth.dsnu_e = 1.0;
  truth.prnu = 0.01;
  SyntheticSensor sensor(rows, cols, truth, 77u + static_cast<unsigned>(n));
  const ScratchDir dir;
  ModeCaptures mode;
  mode.height = rows;
  mode.width = cols;
  const std::vector<std::pair<int, GainTruth>> gains = {{1, kGain1}, {4, kGain4}};
  for (const auto& [gain, gt] : gains) {
    const Frames dark = sensor.dark(gt, n);
    const Frames scene = sensor.capture(gt, n, ramp);
    for (int i = 0; i < n; ++i) {
      const std::string tag = "_exp_10_again_" + std::to_string(gain) + "_" + std::to_string(i) + ".raw";
      write_samples(dir.file("cap_dark_LCG" + tag), dark.captures[static_cast<std::size_t>(i)]);
      write_samples(dir.file("cap_noise_LCG" + tag), scene.captures[static_cast<std::size_t>(i)]);
    }
    GainCaptures g;
    g.analog_gain = Number::of_integer(gain);
    g.dark = dark.set();
    g.scene = scene.set();
    mode.gains.push_back(std::move(g));
  }
  CharacterizationParam param = param_for(truth);
  param.freq_threshold = 1;
  const ModeCharacterization result = characterize_mode(mode, param);

  noise::ReadNoiseFileParam read_files;
  read_files.inp_file_dir = dir.path();
  read_files.height = rows;
  read_files.width = cols;
  read_files.again_list = {Number::of_integer(1), Number::of_integer(4)};
  noise::ReadNoiseTuningParam read_tuning;
  read_tuning.black_level = {truth.offset_dn, truth.offset_dn, truth.offset_dn, truth.offset_dn};
  read_tuning.white_level = {truth.white_dn, truth.white_dn, truth.white_dn, truth.white_dn};
  const noise::ReadNoiseMeasurements read = noise::measure_read_noise(read_files, read_tuning);
  noise::ShotNoiseFileParam shot_files;
  static_cast<FileParam&>(shot_files) = read_files;
  shot_files.again_list = read_files.again_list;
  noise::ShotNoiseTuningParam shot_tuning;
  shot_tuning.black_level = read_tuning.black_level;
  shot_tuning.white_level = read_tuning.white_level;
  shot_tuning.freq_threshold = 1;
  const noise::ShotNoiseMeasurements shot = noise::measure_shot_noise(shot_files, shot_tuning);
  ASSERT_EQ(read.sigmas.size(), 2u);
  ASSERT_EQ(shot.gains.size(), 2u);

  const double p = static_cast<double>(rows * cols / 4);
  const double s = std::sqrt(2.0 / (p * (n - 1)));
  for (std::size_t g = 0; g < 2; ++g) {
    const GainCharacterization& gain = result.gains[g];
    EXPECT_EQ(gain.curve_source, "scene");
    for (int c = 0; c < kCellPositions; ++c) {
      SCOPED_TRACE("gain " + gain.analog_gain.text() + " cell " + std::to_string(c));
      const CellCharacterization& cell = gain.cells[c];
      EXPECT_EQ(cell.relation.captures, n);
      EXPECT_NEAR(cell.relation.read_noise_variance / read.sigmas[g][c], 1.0, 1.0 / p);
      const noise::LevelFit& model = shot.gains[g].cells[c];
      const double ks = k_spread(cell, n);
      const double tolerance = 4 * std::hypot(calibration_slope_spread(model, n), ks);
      EXPECT_NEAR(cell.relation.shot_noise_factor / model.k, 1.0, tolerance);
      EXPECT_NEAR(cell.conversion_gain / gains[g].second.k, 1.0, 4 * ks);
      // The model's own number, read as a conversion gain, is low by the
      // share the relation accounts for.
      EXPECT_NEAR(model.k / cell.conversion_gain, (n - 1.0) / n, tolerance * (n - 1.0) / n);
      EXPECT_GT(read.sigmas[g][c], cell.dark_temporal_variance);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Captures, CalibrationRelation, ::testing::Values(4, 8));

// A dark pattern that rises across the frame as the scene's light does (here
// by 60 e- over the rows' 512 columns, about 5 % of the scene's span) moves
// the pixels of a bright level as far above the mean dark level as it moves
// those of a dim one below it: each level is read above its own pixels' dark
// level, or the curve is stretched along the signal and K comes out low.
TEST(SceneCurve, ADarkPatternRisingWithTheSceneLeavesTheConversionGain) {
  const std::int64_t rows = 256, cols = 512;
  const int n = 8;
  SensorTruth truth;
  truth.dark_slope_e = 60.0 / static_cast<double>(cols);
  SyntheticSensor sensor(rows, cols, truth, 4242u);
  GainCaptures gain;
  gain.analog_gain = Number::of_integer(4);
  gain.dark = sensor.dark(kGain4, n).set();
  gain.scene = sensor.capture(kGain4, n, ramp).set();
  ModeCaptures mode;
  mode.height = rows;
  mode.width = cols;
  mode.gains.push_back(gain);
  CharacterizationParam param = param_for(truth);
  param.freq_threshold = 1;
  const ModeCharacterization result = characterize_mode(mode, param);
  for (int c = 0; c < kCellPositions; ++c) {
    const CellCharacterization& cell = result.gains[0].cells[c];
    EXPECT_NEAR(cell.conversion_gain / kGain4.k, 1.0, 4 * k_spread(cell, n)) << "cell " << c;
  }
}

// ---- quality flags --------------------------------------------------------------------

class QualityFlags : public ::testing::Test {
 protected:
  SensorTruth truth;
  ModeCharacterization run(SyntheticSensor& sensor, const std::vector<double>& wells, const GainTruth& high = kGain4) {
    return characterize_mode(mode_of({gain_captures(sensor, Number::of_integer(1), kGain1, 4, wells),
                                      gain_captures(sensor, Number::of_integer(4), high, 4, wells)}),
                             param_for(sensor.truth()));
  }
  static bool warns(const GainCharacterization& gain, const std::string& text) {
    for (const std::string& w : gain.warnings)
      if (w.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(QualityFlags, TwoLevelsFailTheLevelAndSpanChecks) {
  SyntheticSensor sensor(kRows, kCols, truth, 5);
  const ModeCharacterization r = run(sensor, {0.2, 0.4});
  for (const GainCharacterization& gain : r.gains)
    for (const CellCharacterization& cell : gain.cells) {
      EXPECT_FALSE(flag_named(cell, "levels").passed);
      EXPECT_EQ(flag_named(cell, "levels").value, 2);
      EXPECT_FALSE(flag_named(cell, "span").passed);
      EXPECT_FALSE(flag_named(cell, "saturation").passed);
      EXPECT_TRUE(std::isnan(cell.saturation_capacity_e));
      EXPECT_TRUE(std::isnan(cell.dynamic_range_db));
      EXPECT_TRUE(std::isnan(cell.linearity_error)) << "two flats are no linearity test";
    }
  EXPECT_TRUE(warns(r.gains[0], "2 level(s) in the linear part of the photon transfer curve of LCG at analog gain 1"));
  EXPECT_TRUE(warns(r.gains[1], "span 2x"));
  EXPECT_TRUE(warns(r.gains[1], "saturation not reached"));
}

TEST_F(QualityFlags, ASaturatedSceneLeavesTooFewLevelsBelowSaturation) {
  SyntheticSensor sensor(kRows, kCols, truth, 6);
  const ModeCharacterization r = run(sensor, {0.3, 1.1, 1.3, 1.6, 2.0});
  for (const GainCharacterization& gain : r.gains)
    for (const CellCharacterization& cell : gain.cells) {
      EXPECT_FALSE(flag_named(cell, "levels").passed);
      EXPECT_FALSE(flag_named(cell, "span").passed);
      EXPECT_TRUE(flag_named(cell, "saturation").passed);
    }
  EXPECT_TRUE(warns(r.gains[1], "1 level(s)"));
}

TEST_F(QualityFlags, AConversionGainThatIgnoresTheAnalogGainIsFlagged) {
  SyntheticSensor sensor(kRows, kCols, truth, 8);
  const ModeCharacterization r = run(sensor, kSweep, kGain1);
  for (const CellCharacterization& cell : r.gains[0].cells)
    for (const QualityFlag& f : cell.flags) EXPECT_NE(f.name, "k_growth") << "the lowest gain has nothing below it";
  for (const CellCharacterization& cell : r.gains[1].cells) {
    const QualityFlag& growth = flag_named(cell, "k_growth");
    EXPECT_FALSE(growth.passed);
    EXPECT_NEAR(growth.value, 1.0, 0.1);
    EXPECT_DOUBLE_EQ(growth.limit, 2.5);
  }
  EXPECT_TRUE(warns(r.gains[1], "at least 2.5x expected for a 4x analog gain"));
  // The sound sweep passes the same check.
  SyntheticSensor sound(kRows, kCols, truth, 8);
  const ModeCharacterization growing = run(sound, kSweep);
  for (const CellCharacterization& cell : growing.gains[1].cells) EXPECT_TRUE(flag_named(cell, "k_growth").passed);
}

// Light that flickers from capture to capture adds a variance growing with
// the square of the signal: the line no longer describes the curve.
TEST_F(QualityFlags, LightThatFlickersBetweenCapturesBendsTheCurve) {
  truth.flicker = 0.03;
  SyntheticSensor sensor(kRows, kCols, truth, 9);
  const ModeCharacterization r = run(sensor, kSweep);
  for (const CellCharacterization& cell : r.gains[1].cells) {
    EXPECT_FALSE(flag_named(cell, "residual").passed);
    EXPECT_FALSE(flag_named(cell, "r_squared").passed);
  }
  EXPECT_TRUE(warns(r.gains[1], "leaves residuals of"));
  EXPECT_TRUE(warns(r.gains[1], "R^2 of the photon transfer fit of LCG at analog gain 4"));
}

// ---- sources, threads and the written form ---------------------------------------------

class CaptureSources : public ::testing::Test {
 protected:
  CaptureSources() : sensor(kRows, kCols, {1.0, 0.01}, 12) {
    mode = mode_of({gain_captures(sensor, Number::of_integer(1), kGain1, 4, {0.05, 0.2, 0.5, 0.9, 1.0, 1.1}),
                    gain_captures(sensor, Number::of_real(4.0), kGain4, 4, {0.05, 0.2, 0.5, 0.9, 1.0, 1.1})});
    GainCaptures& scene = mode.gains[0];
    scene.scene = sensor.capture(kGain1, 4, [](std::int64_t, std::int64_t x) { return 20.0 * (x + 1); }).set();
  }
  SyntheticSensor sensor;
  ModeCaptures mode;
};

// Partial totals are integers: any number of workers gives the same bytes.
// Frames of several bands, so that workers share them out.
TEST_F(CaptureSources, TheWorkerCountDoesNotChangeTheResult) {
  const std::int64_t rows = 500;  // bands of 227 rows
  SyntheticSensor tall(rows, kCols, {1.0, 0.01}, 13);
  GainCaptures flats = gain_captures(tall, Number::of_integer(1), kGain1, 3, {0.1, 0.4, 0.9, 1.1});
  GainCaptures scene;
  scene.analog_gain = Number::of_integer(2);
  scene.dark = tall.dark(kGain4, 3).set();
  scene.scene = tall.capture(kGain4, 3, [](std::int64_t y, std::int64_t x) { return 2.0 * y + 5.0 * x; }).set();
  ModeCaptures m = mode_of({flats, scene});
  m.height = rows;
  CharacterizationParam one, three;
  one.workers = 1;
  three.workers = 3;
  one.freq_threshold = three.freq_threshold = 3;
  const std::string a = python_json_text(to_json(characterize({m}, one)));
  const std::string b = python_json_text(to_json(characterize({m}, three)));
  EXPECT_EQ(a, b);
}

// A reader that fails (an unreadable file, a request to stop) ends the run
// with its own error, from whichever worker met it.
TEST_F(CaptureSources, AReadersFailureReachesTheCaller) {
  RowReader inner = mode.gains[1].flats[2].captures.read;
  mode.gains[1].flats[2].captures.read = [inner](std::int64_t i, std::int64_t first, std::int64_t rows,
                                                 std::uint16_t* out) {
    if (i == 3) throw std::runtime_error("stopped by the user");
    inner(i, first, rows, out);
  };
  CharacterizationParam two;
  two.workers = 2;
  try {
    characterize_mode(mode, two);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "stopped by the user");
  }
}

// The written form keeps the gain as given, unknown figures as NaN and the
// scene unused where flats give the curve.
TEST_F(CaptureSources, TheJsonNamesModesGainsAndCells) {
  const OrderedJson j = to_json(characterize({mode}));
  EXPECT_EQ(j["module"], "characterization");
  const OrderedJson& gains = j["modes"][0]["gains"];
  EXPECT_EQ(j["modes"][0]["sensor_mode"], "LCG");
  EXPECT_EQ(python_json_text(gains[0]["analog_gain"]), "1");
  EXPECT_EQ(python_json_text(gains[1]["analog_gain"]), "4.0");
  EXPECT_EQ(gains[0]["curve_source"], "flat");
  EXPECT_EQ(gains[0]["cells"].size(), 4u);
  EXPECT_EQ(gains[0]["cells"][0]["curve"].size(), 6u);
  EXPECT_EQ(gains[0]["cells"][0]["relation"]["captures"], 4);

  GainCaptures scene_only = mode.gains[0];
  scene_only.flats.clear();
  CharacterizationParam param;
  param.freq_threshold = 4;
  const std::string text = python_json_text(to_json(characterize({mode_of({scene_only})}, param)));
  EXPECT_NE(text.find("\"curve_source\": \"scene\""), std::string::npos);
  EXPECT_NE(text.find("\"prnu\": NaN"), std::string::npos) << "no flats: no PRNU";
  EXPECT_NE(text.find("\"linearity_error\": NaN"), std::string::npos);
}

// ---- bad input ------------------------------------------------------------------------

class CharacterizationInput : public ::testing::Test {
 protected:
  CharacterizationInput() : sensor(kRows, kCols, {}, 11) {}
  GainCaptures sound() { return gain_captures(sensor, Number::of_integer(2), kGain1, 2, {0.1, 0.3, 0.5}); }
  // Whether characterize_mode fails with a CalibrationError saying `text`.
  static ::testing::AssertionResult fails_saying(const ModeCaptures& m, const std::string& text,
                                                 const CharacterizationParam& param = {}) {
    try {
      characterize_mode(m, param);
    } catch (const CalibrationError& e) {
      if (std::string(e.what()).find(text) != std::string::npos) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << "the error says: " << e.what();
    }
    return ::testing::AssertionFailure() << "no error";
  }
  SyntheticSensor sensor;
};

TEST_F(CharacterizationInput, MissingOrTooFewCapturesAreNamed) {
  GainCaptures no_dark = sound();
  no_dark.dark = {};
  EXPECT_TRUE(fails_saying(mode_of({no_dark}), "no dark captures for LCG at analog gain 2"));
  GainCaptures one_dark = sound();
  one_dark.dark = sensor.dark(kGain1, 1).set();
  EXPECT_TRUE(fails_saying(mode_of({one_dark}), "only 1 capture for dark captures for LCG at analog gain 2"));
  GainCaptures one_flat = sound();
  one_flat.flats[1].captures = sensor.flat(kGain1, 1, 300).set();
  EXPECT_TRUE(fails_saying(mode_of({one_flat}), "only 1 capture for flat captures at exposure 30 for LCG"));
  GainCaptures many = sound();
  many.flats[0].captures.count = kMaxCaptures + 1;
  EXPECT_TRUE(fails_saying(mode_of({many}), "32768 captures for flat captures at exposure 10 for LCG"));
  GainCaptures unlit = sound();
  unlit.flats.clear();
  EXPECT_TRUE(fails_saying(mode_of({unlit}), "no lit captures for LCG at analog gain 2"));
  ModeCaptures hcg = mode_of({});
  hcg.mode = SensorMode::HCG;
  EXPECT_TRUE(fails_saying(hcg, "no analog gain with captures for HCG"));
}

// Flats or a scene at the white level (here below the full well at K = 2),
// or scene levels thinner than the threshold, leave no curve.
TEST_F(CharacterizationInput, LitCapturesWithNoUnsaturatedLevelAreNamed) {
  CharacterizationParam clipping;
  clipping.white_level.fill(3000.0);
  clipping.freq_threshold = 1;
  GainCaptures bright = sound();
  bright.flats.clear();
  for (double share : {2.5, 3.0}) bright.flats.push_back({share, sensor.flat(kGain4, 2, share * 1500).set()});
  EXPECT_TRUE(fails_saying(mode_of({bright}),
                           "no unsaturated level above the dark level in the lit captures of LCG at analog gain 2, "
                           "cell position 0",
                           clipping));
  GainCaptures bright_scene = sound();
  bright_scene.flats.clear();
  bright_scene.scene = sensor.flat(kGain4, 3, 3000).set();
  EXPECT_TRUE(fails_saying(mode_of({bright_scene}), "no unsaturated level", clipping));
  CharacterizationParam strict;
  strict.freq_threshold = 1000000;
  bright_scene.scene = sensor.flat(kGain1, 3, 300).set();
  EXPECT_TRUE(fails_saying(mode_of({bright_scene}), "has 1000000 samples (freq_threshold)", strict));
}

// A set that cannot be characterised fails before a single read.
TEST_F(CharacterizationInput, EveryConditionIsCheckedBeforeAnyRead) {
  auto reads = std::make_shared<int>(0);
  const auto counted = [reads](CaptureSet set) {
    RowReader inner = set.read;
    set.read = [reads, inner](std::int64_t i, std::int64_t first, std::int64_t rows, std::uint16_t* out) {
      ++*reads;
      inner(i, first, rows, out);
    };
    return set;
  };
  GainCaptures low = sound(), high = sound();
  low.dark = counted(low.dark);
  high.analog_gain = Number::of_integer(4);
  high.flats.back().captures.count = 1;
  ModeCaptures hcg = mode_of({sound()});
  hcg.mode = SensorMode::HCG;
  hcg.gains[0].dark = counted(hcg.gains[0].dark);
  EXPECT_TRUE(
      fails_saying(mode_of({low, high}), "only 1 capture for flat captures at exposure 50 for LCG at analog gain 4"));
  EXPECT_THROW(characterize({hcg, mode_of({low, high})}), CalibrationError);
  EXPECT_EQ(*reads, 0);
}

TEST_F(CharacterizationInput, RepeatedGainsOrModesAndOddFramesAreRefused) {
  EXPECT_TRUE(fails_saying(mode_of({sound(), sound()}), "analog gain 2 is listed twice for LCG"));
  EXPECT_THROW(characterize({mode_of({sound()}), mode_of({sound()})}), CalibrationError);
  ModeCaptures odd = mode_of({sound()});
  odd.height = kRows - 1;
  EXPECT_THROW(characterize_mode(odd), ShapeError);
}

}  // namespace
}  // namespace tuning::characterize
