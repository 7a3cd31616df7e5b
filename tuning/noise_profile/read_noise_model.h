// Read noise: dark-frame variance per Bayer cell position at every analog gain,
// modelled as a quadratic of the gain.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "../shared/json_text.h"
#include "../shared/model.h"
#include "../shared/raw_capture.h"
#include "noise_file_fields.h"

namespace tuning::noise {

struct ReadNoiseFileParam : FileParam {
  std::vector<Number> again_list;
  std::vector<Number> exp_time_list;  // carried; the exposure tag is matched by a wildcard
  std::string module = "read_noise";  // the record's tag; not read
};

struct ReadNoiseTuningParam {
  // Raw DN in cell-position order; the first four entries are used and are
  // needed only once a gain has captures.
  std::vector<double> black_level;
  std::vector<double> white_level;
  std::string module = "read_noise";  // the record's tag; not read
};

constexpr auto record_fields_of(RecordTag<ReadNoiseFileParam>) {
  return noise_file_fields<ReadNoiseFileParam>("ReadNoiseFileParam", "A dark capture set at several analog gains.");
}

constexpr auto record_fields_of(RecordTag<ReadNoiseTuningParam>) {
  return record<ReadNoiseTuningParam>(
      "ReadNoiseTuningParam", "Levels that define the 256-scale of the read noise model.",
      field("module", &ReadNoiseTuningParam::module, "calibration module short name").host_only(),
      field("black_level", &ReadNoiseTuningParam::black_level, "black level per cell position (raw DN)"),
      field("white_level", &ReadNoiseTuningParam::white_level, "white level per cell position (raw DN)"));
}

// (a2, a1, a0) of a2 g^2 + a1 g + a0, g the analog gain.
using ReadNoiseCoeff = std::array<double, 3>;

struct ReadNoiseProfile {
  std::string module = "read_noise";
  std::vector<ReadNoiseCoeff> coeffs;      // variance in raw DN^2, one row per cell position
  std::vector<ReadNoiseCoeff> coeffs_256;  // variance in 256-scale units^2
};

// The fit points: one entry per listed gain that had dark captures, in list order.
struct ReadNoiseMeasurements {
  std::vector<double> analog_gains;
  std::vector<CellValues> sigmas;      // variance per cell position, raw DN^2
  std::vector<CellValues> sigmas_256;  // the same in 256-scale units^2
};

// Variance of all dark samples of each cell position over every capture of
// each gain. Fails with CalibrationError(kInvalidImageShape) on a capture that
// is not exactly height x width samples, ShapeError on an odd or empty frame
// and DivisionByZero when a cell's white level equals its black level.
ReadNoiseMeasurements measure_read_noise(const ReadNoiseFileParam& file_param,
                                         const ReadNoiseTuningParam& tuning_param);

// Quadratic fits of the measurements; a profile with empty lists when no gain
// had captures.
ReadNoiseProfile fit_read_noise(const ReadNoiseMeasurements& measurements);

ReadNoiseProfile calibrate_read_noise(const ReadNoiseFileParam& file_param, const ReadNoiseTuningParam& tuning_param);

OrderedJson to_json(const ReadNoiseProfile& profile);

// The module entry: built-in settings, result written to
// <out_file_dir>/read_noise.json (the folder must exist).
struct ReadNoiseEntry {
  ReadNoiseFileParam file_param;
  ReadNoiseTuningParam tuning_param;
};
ReadNoiseEntry default_read_noise_entry();
std::string run_read_noise_entry(const ReadNoiseEntry& entry);

}  // namespace tuning::noise
