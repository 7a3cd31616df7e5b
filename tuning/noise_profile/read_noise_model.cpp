#include "read_noise_model.h"

#include "../shared/errors.h"
#include "../shared/parallel_fold.h"
#include "capture_bands.h"
#include "cell_moments.h"
#include "gain_captures.h"
#include "noise_entry.h"
#include "noise_levels.h"
#include "polynomial_fit.h"

namespace tuning::noise {

namespace {

constexpr const char* kDarkKind = "dark";
constexpr int kReadNoiseDegree = 2;

CellMoments dark_moments(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                         const CaptureFormat& format) {
  const int workers = default_workers();
  std::vector<CellMoments> partial(static_cast<std::size_t>(workers));
  fold_capture_rows(
      files, height, width, workers,
      [&](const CaptureRows& rows, int worker) { partial[static_cast<std::size_t>(worker)].add(rows); }, format);
  // Integer totals: the merge order cannot change the result.
  CellMoments total;
  for (const auto& p : partial) total.merge(p);
  return total;
}

std::vector<ReadNoiseCoeff> quadratic_rows(const std::vector<double>& gains, const std::vector<CellValues>& values) {
  std::vector<double> y;
  for (const auto& v : values) y.insert(y.end(), v.begin(), v.end());
  const PolynomialFit fit = fit_polynomial(gains, y, kCellPositions, kReadNoiseDegree);
  std::vector<ReadNoiseCoeff> rows;
  for (int c = 0; c < kCellPositions; ++c) rows.push_back({fit.at(0, c), fit.at(1, c), fit.at(2, c)});
  return rows;
}

OrderedJson coeff_rows_json(const std::vector<ReadNoiseCoeff>& rows) {
  OrderedJson out = OrderedJson::array();
  for (const auto& row : rows) out.push_back(OrderedJson::array({row[0], row[1], row[2]}));
  return out;
}

}  // namespace

ReadNoiseMeasurements measure_read_noise(const ReadNoiseFileParam& file_param,
                                         const ReadNoiseTuningParam& tuning_param) {
  ReadNoiseMeasurements out;
  for (const Number& gain : file_param.again_list) {
    const auto files =
        captures_at_gain(file_param.inp_file_dir, kDarkKind, file_param.sensor_mode, gain, file_param.capture_format);
    if (files.empty()) continue;
    const CellMoments moments = dark_moments(files, file_param.height, file_param.width, file_param.capture_format);
    report_gain_done(kDarkKind, file_param.sensor_mode, gain, files.size());
    require_even_frame(file_param.height, file_param.width);
    CellValues sigma{}, sigma_256{};
    for (int c = 0; c < kCellPositions; ++c) {
      const double ratio = scale_256(tuning_param.black_level, tuning_param.white_level, c);
      sigma[c] = moments.variance(c);
      sigma_256[c] = sigma[c] * ratio * ratio;
    }
    out.analog_gains.push_back(gain.value());
    out.sigmas.push_back(sigma);
    out.sigmas_256.push_back(sigma_256);
  }
  return out;
}

ReadNoiseProfile fit_read_noise(const ReadNoiseMeasurements& measurements) {
  ReadNoiseProfile profile;
  if (measurements.analog_gains.empty()) return profile;
  profile.coeffs = quadratic_rows(measurements.analog_gains, measurements.sigmas);
  profile.coeffs_256 = quadratic_rows(measurements.analog_gains, measurements.sigmas_256);
  return profile;
}

ReadNoiseProfile calibrate_read_noise(const ReadNoiseFileParam& file_param, const ReadNoiseTuningParam& tuning_param) {
  return fit_read_noise(measure_read_noise(file_param, tuning_param));
}

OrderedJson to_json(const ReadNoiseProfile& profile) {
  OrderedJson out = OrderedJson::object();
  out["module"] = profile.module;
  out["coeffs"] = coeff_rows_json(profile.coeffs);
  out["coeffs_256"] = coeff_rows_json(profile.coeffs_256);
  return out;
}

ReadNoiseEntry default_read_noise_entry() {
  ReadNoiseEntry entry;
  ReadNoiseFileParam& p = entry.file_param;
  p.inp_file_dir = "./test_data/imx347_blc2/";
  p.out_file_dir = "./test_data/imx347/";
  p.width = 2560;
  p.height = 1440;
  p.bits = 16;
  set_entry_sweep(p.again_list, p.exp_time_list);
  entry.tuning_param.black_level = {3200, 3200, 3200, 3200};
  entry.tuning_param.white_level = {65500, 65500, 65500, 65500};
  return entry;
}

std::string run_read_noise_entry(const ReadNoiseEntry& entry) {
  const ReadNoiseProfile profile = calibrate_read_noise(entry.file_param, entry.tuning_param);
  return write_result_file(entry.file_param.out_file_dir, "read_noise.json", to_json(profile));
}

}  // namespace tuning::noise
