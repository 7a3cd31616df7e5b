#include "black_level.h"

#include <cmath>
#include <exception>
#include <set>

#include "../shared/capture_reader.h"
#include "../shared/capture_set.h"
#include "../shared/errors.h"
#include "../shared/interrupt.h"
#include "../shared/progress.h"

namespace tuning::blc {

namespace {

constexpr const char* kDarkKind = "dark";

double four_channel_mean(const BlackLevel4& level) { return (level[0] + level[1] + level[2] + level[3]) / 4.0; }

// Running per-cell sums over frames of one size; exact in 64-bit integers.
class CellAccumulator {
 public:
  void add(const std::uint16_t* frame, std::int64_t height, std::int64_t width) {
    const CellSums sums = cell_position_sums(frame, height, width);
    for (int c = 0; c < kCellPositions; ++c) totals_[c] += sums[c];
    samples_per_cell_ += static_cast<std::uint64_t>(height / 2) * static_cast<std::uint64_t>(width / 2);
  }
  BlackLevel4 means() const {
    BlackLevel4 out{};
    for (int c = 0; c < kCellPositions; ++c)
      out[c] = static_cast<double>(totals_[c]) / static_cast<double>(samples_per_cell_);
    return out;
  }
  // Mean of this frame alone, per cell position.
  static BlackLevel4 frame_means(const std::uint16_t* frame, std::int64_t height, std::int64_t width) {
    CellAccumulator one;
    one.add(frame, height, width);
    return one.means();
  }

 private:
  CellSums totals_{};
  std::uint64_t samples_per_cell_ = 0;
};

// One dark capture into buffer under the routine's rule. Today's raw16
// captures fail as they always did: I/O errors as they are, a wrong size as
// the bare shape error; other formats nest the size error, which names the
// file and both sizes.
void read_dark_capture(const std::string& path, const FileParam& p, ShapeRule rule, RawBuffer& buffer) {
  if (p.height < 0 || p.width < 0) {
    raw_sample_count(path);  // an unreadable capture is the failure to report first
    throw CalibrationError(kInvalidImageShape);
  }
  try {
    read_capture_into(path, p.capture_format, p.width, p.height, rule, buffer);
  } catch (const CaptureSizeError&) {
    if (is_plain_raw16(p.capture_format)) throw CalibrationError(kInvalidImageShape);
    std::throw_with_nested(CalibrationError(kInvalidImageShape));
  }
}

}  // namespace

BLCTuningResult sweep_dark_captures(const BLCFileParam& file_param, const BlackLevelEstimator& estimate,
                                    const LineSink& print) {
  ensure_output_dir(file_param.out_file_dir);
  BLCTuningResult result;
  double total = 0.0;
  std::size_t count = 0;
  std::set<std::string> swept;
  for (const Number& gain : file_param.again_list) {
    GainLevels gain_levels{"again_" + gain.text(), {}};
    for (const Number& exposure : file_param.exp_time_list) {
      const auto files = glob_files(capture_pattern(file_param.inp_file_dir, kDarkKind, file_param.sensor_mode,
                                                    exposure, gain, file_param.capture_format));
      print(path_list_repr(files));
      if (files.empty()) continue;
      const BlackLevel4 level = estimate(files);
      report_progress({std::string(kDarkKind) + " " + std::string(sensor_mode_name(file_param.sensor_mode)) + " exp " +
                           exposure.text() + " again " + gain.text(),
                       files.size(), files.size()});
      gain_levels.exposures.push_back({"exp_time_" + exposure.text(), level});
      // fixed_sbl is the mean over the pairs of the sbl mapping: a gain or exposure listed twice
      // names one pair there, so it counts once here too.
      if (!swept.insert(gain_levels.key + "/" + gain_levels.exposures.back().key).second) continue;
      total += four_channel_mean(level);
      ++count;
    }
    result.sbl.push_back(std::move(gain_levels));
  }
  if (file_param.again_list.empty()) return result;
  if (count == 0)
    throw DivisionByZero("no dark capture matched any (gain, exposure) pair in '" +
                         normalize_path(file_param.inp_file_dir) + "' (sensor mode " +
                         std::string(sensor_mode_name(file_param.sensor_mode)) + ")");
  result.has_fixed_sbl = true;
  result.fixed_sbl = total / static_cast<double>(count);
  return result;
}

BlackLevel4 mean_cell_levels(const std::vector<const std::uint16_t*>& frames, std::int64_t height, std::int64_t width) {
  if (frames.empty()) throw CalibrationError(kEmptyImageList);
  CellAccumulator acc;
  for (const auto* frame : frames) acc.add(frame, height, width);
  return acc.means();
}

BlackLevel4 estimate_black_level(const std::vector<std::string>& files, const FileParam& file_param) {
  if (files.empty()) throw CalibrationError(kEmptyImageList);
  // One capture at a time: memory stays at one frame whatever the count.
  CellAccumulator acc;
  RawBuffer capture;
  for (const auto& path : files) {
    check_interrupt();
    read_dark_capture(path, file_param, ShapeRule::truncating, capture);
    acc.add(capture.data(), file_param.height, file_param.width);
  }
  return acc.means();
}

BLCTuningResult gen_blc_param(const BLCFileParam& file_param, const LineSink& print) {
  const auto estimate = [&](const std::vector<std::string>& files) { return estimate_black_level(files, file_param); };
  return sweep_dark_captures(file_param, estimate, print);
}

BlackLevel4 mean_capture_levels_256(const std::vector<std::string>& files, const FileParam& file_param) {
  const double ratio = 256.0 / std::pow(2.0, static_cast<double>(file_param.bits));
  BlackLevel4 sum{};
  std::size_t count = 0;
  RawBuffer capture;
  for (const auto& path : files) {
    check_interrupt();
    read_dark_capture(path, file_param, ShapeRule::exact, capture);
    const BlackLevel4 means = CellAccumulator::frame_means(capture.data(), file_param.height, file_param.width);
    for (int c = 0; c < kCellPositions; ++c) sum[c] += means[c];
    ++count;
  }
  if (count == 0) throw AssertionFailure("the 256-scale black level needs at least one capture file");
  BlackLevel4 out{};
  for (int c = 0; c < kCellPositions; ++c) out[c] = sum[c] / static_cast<double>(count) * ratio;
  return out;
}

BLCTuningResult gen_blc_param_v2(const BLCFileParam& file_param, const LineSink& print) {
  const auto estimate = [&](const std::vector<std::string>& files) {
    // The per-file pass below demands the exact size; this first pass only
    // reports unreadable or short captures under the routine's own message.
    // Opening a file and taking its size tells that without reading it twice.
    try {
      if (files.empty()) throw CalibrationError(kEmptyImageList);
      const auto samples = static_cast<std::uint64_t>(file_param.height) * static_cast<std::uint64_t>(file_param.width);
      for (const auto& path : files) {
        if (!is_plain_raw16(file_param.capture_format))
          open_capture(path, file_param.capture_format, file_param.width, file_param.height, ShapeRule::truncating);
        else if (raw_sample_count(path) < samples)
          throw CalibrationError(kInvalidImageShape);
      }
    } catch (const std::exception&) {
      std::throw_with_nested(CalibrationError(kInvalidImageShape));
    }
    return mean_capture_levels_256(files, file_param);
  };
  return sweep_dark_captures(file_param, estimate, print);
}

OrderedJson to_json(const BLCTuningResult& result) {
  OrderedJson sbl = OrderedJson::object();
  for (const auto& gain : result.sbl) {
    OrderedJson exposures = OrderedJson::object();
    for (const auto& exposure : gain.exposures)
      exposures[exposure.key] =
          OrderedJson::array({exposure.level[0], exposure.level[1], exposure.level[2], exposure.level[3]});
    sbl[gain.key] = std::move(exposures);
  }
  OrderedJson fixed = OrderedJson::object();
  if (result.has_fixed_sbl) fixed["fixed_sbl"] = result.fixed_sbl;
  OrderedJson out = OrderedJson::object();
  out["module"] = result.module;
  out["sbl"] = std::move(sbl);
  out["fixed_sbl"] = std::move(fixed);
  return out;
}

BLCFileParam default_entry_file_param() {
  BLCFileParam p;
  p.inp_file_dir = "./test_data/blc/";
  p.out_file_dir = "./test_data/blc/static_info";
  p.width = 100;
  p.height = 100;
  p.bits = 16;
  for (int g : {1, 2, 4, 8}) p.again_list.push_back(Number::of_integer(g));
  for (int e : {1, 10, 20, 30}) p.exp_time_list.push_back(Number::of_integer(e));
  return p;
}

EntryOutcome run_entry(const LineSink& print) {
  const BLCFileParam file_param = default_entry_file_param();
  EntryOutcome outcome{gen_blc_param(file_param, print), file_param.out_file_dir + "/result.json"};
  write_file_atomically(outcome.result_path, python_json_text(to_json(outcome.result)));
  return outcome;
}

}  // namespace tuning::blc
