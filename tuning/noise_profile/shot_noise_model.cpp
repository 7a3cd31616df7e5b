#include "shot_noise_model.h"

#include <cmath>
#include <memory>
#include <utility>

#include "../shared/errors.h"
#include "../shared/parallel_fold.h"
#include "capture_bands.h"
#include "gain_captures.h"
#include "level_histograms.h"
#include "noise_entry.h"
#include "noise_levels.h"
#include "polynomial_fit.h"

namespace tuning::noise {

namespace {

constexpr const char* kNoiseKind = "noise";
// The searched levels start 0.5 % of the black-to-white range above black and
// span 20 % of it: low enough to stay clear of clipping, high enough to leave
// the read-noise floor.
constexpr double kRangeStart = 0.005;
constexpr double kRangeSpan = 0.2;
// Percentiles of the plane's pixel means that bound the search to levels the
// frame actually holds.
constexpr double kLowPercentile = 0.1;
constexpr double kHighPercentile = 80.0;

std::vector<PlaneRect> regions_of(const ShotNoiseFileParam& file_param, const ShotNoiseTuningParam& tuning_param) {
  std::vector<Rect> rois = tuning_param.rois;
  if (rois.empty()) rois.push_back({0, 0, file_param.height, file_param.width});
  std::vector<PlaneRect> out;
  for (const Rect& r : rois)
    out.push_back(plane_rect(r.top, r.left, r.bottom, r.right, file_param.height / 2, file_param.width / 2));
  return out;
}

// Per-worker histograms, made for the first gain with captures and kept for
// the others: each holds some 15 MiB, and clearing the levels a gain used is
// far cheaper than fresh zeroed memory.
class GainBinner {
 public:
  explicit GainBinner(std::vector<PlaneRect> regions) : regions_(std::move(regions)) {}
  const LevelHistograms& bin(const std::vector<std::string>& files, const ShotNoiseFileParam& p) {
    while (parts_.size() < static_cast<std::size_t>(default_workers()))
      parts_.push_back(std::make_unique<LevelHistograms>(regions_));
    for (auto& part : parts_) part->reset();
    fold_capture_bands(
        files, p.height, p.width, static_cast<int>(parts_.size()),
        [&](const CaptureBand& band, int worker) { parts_[static_cast<std::size_t>(worker)]->add(band); },
        p.capture_format);
    // Integer bins: the merge order cannot change the result.
    for (std::size_t w = 1; w < parts_.size(); ++w) parts_[0]->merge(*parts_[w]);
    return *parts_[0];
  }

 private:
  std::vector<PlaneRect> regions_;
  std::vector<std::unique_ptr<LevelHistograms>> parts_;
};

double slope(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& weights) {
  return fit_polynomial(x, y, 1, 1, weights).at(0, 0);
}

LevelFit fit_levels(const LevelHistograms& bins, int cell, const ShotNoiseTuningParam& tp, const Number& gain) {
  const double ratio = scale_256(tp.black_level, tp.white_level, cell);
  const double black = level_at(tp.black_level, cell, "black_level");
  const double span = level_at(tp.white_level, cell, "white_level") - black;
  const double start = black + kRangeStart * span;
  // The end is measured from the unclipped start.
  const double end = start + kRangeSpan * span;
  LevelFit fit;
  fit.min_value = static_cast<std::int64_t>(std::trunc(std::max(start, bins.plane_percentile(cell, kLowPercentile))));
  fit.max_value = static_cast<std::int64_t>(std::trunc(std::min(end, bins.plane_percentile(cell, kHighPercentile))));
  const std::int64_t first = std::max<std::int64_t>(fit.min_value, 0);
  const std::int64_t last = std::min<std::int64_t>(fit.max_value, static_cast<std::int64_t>(kLevelCount));
  for (std::int64_t v = first; v < last; ++v) {
    const std::uint64_t freq = bins.freq(cell, static_cast<std::size_t>(v));
    // A threshold of 0 or less would admit empty levels, whose variance is undefined.
    if (freq == 0 || static_cast<double>(freq) < static_cast<double>(tp.freq_threshold)) continue;
    fit.values.push_back(static_cast<double>(v) - black);
    fit.variances.push_back(bins.variance_about_level(cell, static_cast<std::size_t>(v)));
    fit.freqs.push_back(static_cast<double>(freq));
  }
  if (fit.values.empty())
    throw CalibrationError("no signal level of cell position " + std::to_string(cell) + " at analog gain " +
                           gain.text() + " has " + std::to_string(tp.freq_threshold) +
                           " samples (freq_threshold); searched levels " + std::to_string(fit.min_value) + " up to " +
                           std::to_string(fit.max_value) + " (raw DN, upper bound excluded)");
  std::vector<double> values_256, variances_256;
  for (std::size_t i = 0; i < fit.values.size(); ++i) {
    values_256.push_back(fit.values[i] * ratio);
    variances_256.push_back(fit.variances[i] * (ratio * ratio));
  }
  fit.k = slope(fit.values, fit.variances, fit.freqs);
  fit.k256 = slope(values_256, variances_256, fit.freqs);
  return fit;
}

std::vector<ShotNoiseCoeff> line_rows(const std::vector<double>& gains, const std::vector<CellValues>& slopes) {
  const std::vector<double> unit_weights(gains.size(), 1.0);
  std::vector<ShotNoiseCoeff> rows;
  for (int c = 0; c < kCellPositions; ++c) {
    std::vector<double> column;
    for (const auto& s : slopes) column.push_back(s[c]);
    const PolynomialFit fit = fit_polynomial(gains, column, 1, 1, unit_weights);
    rows.push_back({fit.at(0, 0), fit.at(1, 0)});
  }
  return rows;
}

OrderedJson coeff_rows_json(const std::vector<ShotNoiseCoeff>& rows) {
  OrderedJson out = OrderedJson::array();
  for (const auto& row : rows) out.push_back(OrderedJson::array({row[0], row[1]}));
  return out;
}

}  // namespace

ShotNoiseMeasurements measure_shot_noise(const ShotNoiseFileParam& file_param,
                                         const ShotNoiseTuningParam& tuning_param) {
  GainBinner binner(regions_of(file_param, tuning_param));
  ShotNoiseMeasurements out;
  for (const Number& gain : file_param.again_list) {
    const auto files =
        captures_at_gain(file_param.inp_file_dir, kNoiseKind, file_param.sensor_mode, gain, file_param.capture_format);
    if (files.empty()) continue;
    const LevelHistograms& bins = binner.bin(files, file_param);
    report_gain_done(kNoiseKind, file_param.sensor_mode, gain, files.size());
    require_even_frame(file_param.height, file_param.width);
    ShotNoiseGain entry;
    entry.analog_gain = gain.value();
    for (int c = 0; c < kCellPositions; ++c) entry.cells[c] = fit_levels(bins, c, tuning_param, gain);
    out.gains.push_back(std::move(entry));
  }
  return out;
}

ShotNoiseProfile fit_shot_noise(const ShotNoiseMeasurements& measurements) {
  if (measurements.gains.empty())
    throw CalibrationError("no analog gain of again_list has noise captures: nothing to fit the shot noise factor to");
  std::vector<double> gains;
  std::vector<CellValues> ks, ks_256;
  for (const auto& g : measurements.gains) {
    gains.push_back(g.analog_gain);
    CellValues k{}, k256{};
    for (int c = 0; c < kCellPositions; ++c) {
      k[c] = g.cells[c].k;
      k256[c] = g.cells[c].k256;
    }
    ks.push_back(k);
    ks_256.push_back(k256);
  }
  ShotNoiseProfile profile;
  profile.coeffs = line_rows(gains, ks);
  profile.coeffs_256 = line_rows(gains, ks_256);
  return profile;
}

ShotNoiseProfile calibrate_shot_noise(const ShotNoiseFileParam& file_param, const ShotNoiseTuningParam& tuning_param) {
  const ShotNoiseMeasurements measurements = measure_shot_noise(file_param, tuning_param);
  if (measurements.gains.empty()) {
    std::string gains;
    for (const Number& g : file_param.again_list) gains += (gains.empty() ? "" : ", ") + g.text();
    throw CalibrationError("no noise captures for any analog gain in again_list [" + gains + "]: no file matches " +
                           gain_capture_pattern(file_param.inp_file_dir, kNoiseKind, file_param.sensor_mode, "<gain>",
                                                file_param.capture_format));
  }
  return fit_shot_noise(measurements);
}

OrderedJson to_json(const ShotNoiseProfile& profile) {
  OrderedJson out = OrderedJson::object();
  out["module"] = profile.module;
  out["coeffs"] = coeff_rows_json(profile.coeffs);
  out["coeffs_256"] = coeff_rows_json(profile.coeffs_256);
  return out;
}

ShotNoiseEntry default_shot_noise_entry() {
  ShotNoiseEntry entry;
  ShotNoiseFileParam& p = entry.file_param;
  p.inp_file_dir = "./test_data/shot_noise/";
  p.out_file_dir = p.inp_file_dir;
  p.width = 512;
  p.height = 512;
  p.bits = 16;
  set_entry_sweep(p.again_list, p.exp_time_list);
  entry.tuning_param.black_level = {256, 256, 256, 256};
  entry.tuning_param.white_level = {4095, 4095, 4095, 4095};
  return entry;
}

std::string run_shot_noise_entry(const ShotNoiseEntry& entry) {
  const ShotNoiseProfile profile = calibrate_shot_noise(entry.file_param, entry.tuning_param);
  return write_result_file(entry.file_param.out_file_dir, "shot_noise.json", to_json(profile));
}

}  // namespace tuning::noise
