// Shot noise: for each analog gain, the variance of each Bayer cell position
// as a line of the signal above black level (its slope is the gain's shot
// noise factor); the factors of all gains then as a line of the gain.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "../shared/json_text.h"
#include "../shared/model.h"
#include "../shared/raw_capture.h"
#include "noise_file_fields.h"

namespace tuning::noise {

struct ShotNoiseFileParam : FileParam {
  std::vector<Number> again_list;
  std::vector<Number> exp_time_list;  // carried; the exposure tag is matched by a wildcard
  std::string module = "shot_noise";  // the record's tag; not read
};

constexpr auto record_fields_of(RecordTag<ShotNoiseFileParam>) {
  return noise_file_fields<ShotNoiseFileParam>("ShotNoiseFileParam",
                                               "A set of repeated noise captures at several analog gains.");
}

// A region of the full-resolution frame: rows [top, bottom), columns [left, right).
struct Rect {
  std::int64_t top = 0;
  std::int64_t left = 0;
  std::int64_t bottom = 0;
  std::int64_t right = 0;
};

constexpr auto record_fields_of(RecordTag<Rect>) {
  return record<Rect>("Rect", "A region of the frame whose pixels are measured.",
                      field("top", &Rect::top, "first row (full-resolution pixels)"),
                      field("left", &Rect::left, "first column (full-resolution pixels)"),
                      field("bottom", &Rect::bottom, "row after the last row (full-resolution pixels)"),
                      field("right", &Rect::right, "column after the last column (full-resolution pixels)"));
}

struct ShotNoiseTuningParam {
  // Raw DN in cell-position order; the first four entries are used and are
  // needed only once a gain has captures.
  std::vector<double> black_level = {0.0, 0.0, 0.0, 0.0};
  std::vector<double> white_level = {0.0, 0.0, 0.0, 0.0};
  std::int64_t freq_threshold = 100;  // least samples a level needs to enter the fit
  std::vector<Rect> rois;             // empty: the whole frame
  std::string module = "shot_noise";  // the record's tag; not read
};

constexpr auto record_fields_of(RecordTag<ShotNoiseTuningParam>) {
  return record<ShotNoiseTuningParam>(
      "ShotNoiseTuningParam", "Levels, threshold and regions of the shot noise calibration.",
      field("module", &ShotNoiseTuningParam::module, "calibration module short name").host_only(),
      field("black_level", &ShotNoiseTuningParam::black_level,
            "black level per cell position (raw DN); the zero default is a placeholder"),
      field("white_level", &ShotNoiseTuningParam::white_level,
            "white level per cell position (raw DN); the zero default is a placeholder"),
      field("freq_threshold", &ShotNoiseTuningParam::freq_threshold,
            "least samples (pixels x captures) a signal level needs to enter the fit; empty levels never do"),
      field("ROIs", &ShotNoiseTuningParam::rois, "regions to measure; empty: the whole frame"));
}

// (a1, a0) of a1 g + a0, g the analog gain.
using ShotNoiseCoeff = std::array<double, 2>;

struct ShotNoiseProfile {
  std::string module = "shot_noise";
  std::vector<ShotNoiseCoeff> coeffs;      // factor in raw DN (variance per DN of signal)
  std::vector<ShotNoiseCoeff> coeffs_256;  // factor in 256-scale units
};

// The levels of one cell position at one gain that entered the slope fit.
struct LevelFit {
  std::int64_t min_value = 0;     // first level searched (raw DN)
  std::int64_t max_value = 0;     // level after the last one searched (raw DN)
  std::vector<double> values;     // level minus black level (raw DN)
  std::vector<double> variances;  // mean squared deviation from the level (raw DN^2)
  std::vector<double> freqs;      // samples behind each variance
  double k = 0.0;                 // fitted slope, raw DN
  double k256 = 0.0;              // fitted slope, 256-scale units
};

struct ShotNoiseGain {
  double analog_gain = 0.0;
  std::array<LevelFit, kCellPositions> cells;
};

// One entry per listed gain that had noise captures, in list order.
struct ShotNoiseMeasurements {
  std::vector<ShotNoiseGain> gains;
};

// Per-gain slopes. Fails with CalibrationError(kInvalidImageShape) on a capture
// that is not exactly height x width samples, ShapeError on an odd or empty
// frame, DivisionByZero when a cell's white level equals its black level, and
// CalibrationError naming the gain and cell when no level passes the threshold.
ShotNoiseMeasurements measure_shot_noise(const ShotNoiseFileParam& file_param,
                                         const ShotNoiseTuningParam& tuning_param);

// Lines of the per-gain slopes over the gains. CalibrationError when no gain had captures.
ShotNoiseProfile fit_shot_noise(const ShotNoiseMeasurements& measurements);

ShotNoiseProfile calibrate_shot_noise(const ShotNoiseFileParam& file_param, const ShotNoiseTuningParam& tuning_param);

OrderedJson to_json(const ShotNoiseProfile& profile);

// The module entry: built-in settings on the developer folder
// ./test_data/shot_noise/ (captures in, shot_noise.json out).
struct ShotNoiseEntry {
  ShotNoiseFileParam file_param;
  ShotNoiseTuningParam tuning_param;
};
ShotNoiseEntry default_shot_noise_entry();
std::string run_shot_noise_entry(const ShotNoiseEntry& entry);

}  // namespace tuning::noise
