// Sensor characterisation in physical units by the photon transfer method:
// per sensor mode, analog gain and Bayer cell position, the dark level and
// noise, the conversion gain, noise and non-uniformity in electrons,
// saturation, dynamic range and linearity, with a quality check of every fit
// and the figures the read noise and shot noise calibrations should report
// for the same captures.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "../shared/json_text.h"
#include "../shared/model.h"
#include "../shared/raw_capture.h"
#include "capture_source.h"
#include "photon_transfer.h"

namespace tuning::characterize {

// Captures of a uniformly lit field at one exposure.
struct FlatCaptures {
  double exposure = 0.0;  // the caller's unit (for example ms); orders the linearity fit
  CaptureSet captures;
};

// The photon transfer curve comes from the flats when there are any (they
// also give PRNU and linearity), else from the levels of the scene.
struct GainCaptures {
  Number analog_gain;
  CaptureSet dark;                  // at least 2 captures
  std::vector<FlatCaptures> flats;  // several exposures, at least 2 captures each
  CaptureSet scene;                 // repeated captures of a still scene of many levels (count 0: none)
};

struct ModeCaptures {
  SensorMode mode = SensorMode::LCG;
  std::int64_t height = 0;  // every capture of the mode: height x width samples
  std::int64_t width = 0;
  std::vector<GainCaptures> gains;
};

struct CharacterizationParam {
  CellValues white_level = {65535.0, 65535.0, 65535.0, 65535.0};  // clipping level per cell position (DN)
  std::int64_t freq_threshold = 100;  // least samples (pixels x captures) a scene level needs to enter the curve
  int workers = 0;                    // threads reading bands at once; 0: as many as are worth it
};

// The figures the calibrations report for the same captures, predicted from
// the characterisation.
struct CalibrationRelation {
  std::int64_t captures = 0;  // n: the scene's captures (what the shot noise calibration reads), else the first flat's
  double shot_noise_factor = 0.0;    // K (n - 1) / n: the variance over n captures divides by n (DN)
  double read_noise_variance = 0.0;  // temporal dark variance + DSNU^2: the whole dark plane's variance (DN^2)
};

constexpr auto record_fields_of(RecordTag<CalibrationRelation>) {
  return record<CalibrationRelation>(
      "CalibrationRelation", "What the read and shot noise calibrations should report for the same captures.",
      field("captures", &CalibrationRelation::captures,
            "n: captures per level the shot noise factor is formed over (count)"),
      field("shot_noise_factor", &CalibrationRelation::shot_noise_factor,
            "K (n - 1) / n: the shot noise calibration's factor for these captures (DN)")
          .unset(),
      field("read_noise_variance", &CalibrationRelation::read_noise_variance,
            "temporal dark variance + DSNU^2: the read noise calibration's variance of the dark plane (DN^2)")
          .unset());
}

struct CellCharacterization {
  double dark_level = 0.0;              // mean of the dark captures (DN)
  double dark_temporal_variance = 0.0;  // unbiased over the captures (DN^2)
  double dark_noise = 0.0;              // sqrt of the above (DN)
  double dsnu_variance = 0.0;           // mean dark frame's variance less the temporal part / n; may dip below 0 (DN^2)
  double dsnu = 0.0;                    // sqrt(max(0, dsnu_variance)) (DN)
  double dsnu_e = 0.0;                  // dsnu / K (e-)
  double conversion_gain = 0.0;         // K, slope of the linear part of the photon transfer curve (DN/e-)
  double curve_intercept = 0.0;         // variance of the fitted line at zero signal (DN^2)
  double read_noise_e = 0.0;            // dark_noise / K (e-)
  double prnu = kUnknown;               // spatial spread of the response near half saturation; NaN without flats (%)
  double prnu_signal = kUnknown;        // signal PRNU was measured at (DN)
  double saturation_level = kUnknown;   // dark level + saturation signal (DN)
  double saturation_signal = kUnknown;  // signal where the temporal variance peaks before collapsing (DN)
  double saturation_capacity_e = kUnknown;  // saturation_signal / K (e-)
  double dynamic_range_db = kUnknown;       // 20 log10(saturation_capacity_e / read_noise_e) (dB)
  double linearity_error = kUnknown;        // half the peak-to-peak deviation of the flats' signal from a line in the
                                            // exposure, 5 to 95 % of saturation; NaN with fewer than 3 such flats (%)
  // Fit quality: points in the linear part, their signal span (ratio), R^2,
  // weighted relative residual and the residual the sample counts explain (ratios).
  int levels = 0;
  double span = kUnknown;
  double r_squared = kUnknown;
  double residual = kUnknown;
  double expected_residual = kUnknown;
  std::vector<CurvePoint> curve;  // photon transfer and SNR curve, by rising signal
  CalibrationRelation relation;
  std::vector<QualityFlag> flags;
};

// The result records (field names as to_json writes them); a figure the
// captures cannot give (no flats, no saturation reached, a fit without enough
// levels) is None.
constexpr auto record_fields_of(RecordTag<CellCharacterization>) {
  using C = CellCharacterization;
  return record<C>(
      "CellCharacterization", "The characterisation of one cell position at one gain.",
      field("dark_level", &C::dark_level, "mean of the dark captures (DN)").unset(),
      field("dark_temporal_variance", &C::dark_temporal_variance, "temporal dark variance, divisor n - 1 (DN^2)")
          .unset(),
      field("dark_noise", &C::dark_noise, "temporal dark noise (DN)").unset(),
      field("dsnu_variance", &C::dsnu_variance,
            "dark signal non-uniformity variance; may dip below 0 by chance when there is none (DN^2)")
          .unset(),
      field("dsnu", &C::dsnu, "dark signal non-uniformity (DN)").unset(),
      field("dsnu_e", &C::dsnu_e, "dark signal non-uniformity (e-)").unset(),
      field("conversion_gain", &C::conversion_gain, "K, slope of the photon transfer curve (DN/e-)").unset(),
      field("curve_intercept", &C::curve_intercept, "variance of the fitted line at zero signal (DN^2)").unset(),
      field("read_noise_e", &C::read_noise_e, "temporal dark noise in electrons (e-)").unset(),
      field("prnu", &C::prnu, "photo-response non-uniformity near half saturation; None without flats (%)").unset(),
      field("prnu_signal", &C::prnu_signal, "signal PRNU was measured at (DN)").unset(),
      field("saturation_level", &C::saturation_level, "dark level + saturation signal (DN)").unset(),
      field("saturation_signal", &C::saturation_signal, "signal where the temporal variance peaks (DN)").unset(),
      field("saturation_capacity_e", &C::saturation_capacity_e, "saturation capacity (e-)").unset(),
      field("dynamic_range_db", &C::dynamic_range_db, "20 log10(saturation capacity / read noise) (dB)").unset(),
      field("linearity_error", &C::linearity_error,
            "half the peak-to-peak deviation from a line in the exposure, 5 to 95 % of saturation (%)")
          .unset(),
      field("levels", &C::levels, "points in the fitted linear part (count)"),
      field("span", &C::span, "highest over lowest signal of the fitted part (ratio)").unset(),
      field("r_squared", &C::r_squared, "coefficient of determination of the fit (ratio)").unset(),
      field("residual", &C::residual, "weighted relative residual of the fit (ratio)").unset(),
      field("expected_residual", &C::expected_residual, "residual the sample counts alone explain (ratio)").unset(),
      field("relation", &C::relation, "the calibrations' figures predicted for these captures").unset(),
      field("curve", &C::curve, "photon transfer and SNR curve, by rising signal"),
      field("flags", &C::flags, "quality checks of the fit"));
}

struct GainCharacterization {
  Number analog_gain;
  std::int64_t dark_captures = 0;
  std::int64_t lit_captures = 0;  // per curve point
  std::string curve_source;       // "flat" (flat captures at several exposures) or "scene" (levels of the scene)
  std::array<CellCharacterization, kCellPositions> cells;
  std::vector<std::string> warnings;  // every failed flag of the cells, in cell order
};

constexpr auto record_fields_of(RecordTag<GainCharacterization>) {
  using G = GainCharacterization;
  return record<G>("GainCharacterization", "The characterisation of one analog gain.",
                   field("analog_gain", &G::analog_gain, "analog gain (as named in the captures)"),
                   field("dark_captures", &G::dark_captures, "dark captures read (count)"),
                   field("lit_captures", &G::lit_captures, "lit captures per curve point (count)"),
                   field("curve_source", &G::curve_source,
                         "\"flat\" (flat captures at several exposures) or \"scene\" (levels of the noise captures)"),
                   field("cells", &G::cells, "per cell position, in cell-position order").unset(),
                   field("warnings", &G::warnings, "every failed check of the cells"));
}

struct ModeCharacterization {
  SensorMode mode = SensorMode::LCG;
  std::vector<GainCharacterization> gains;  // by rising analog gain
};

struct Characterization {
  std::string module = "characterization";
  std::vector<ModeCharacterization> modes;
};

constexpr auto record_fields_of(RecordTag<ModeCharacterization>) {
  return record<ModeCharacterization>("ModeCharacterization", "The characterisation of one sensor mode.",
                                      field("sensor_mode", &ModeCharacterization::mode, "conversion gain mode"),
                                      field("gains", &ModeCharacterization::gains, "by rising analog gain"));
}

constexpr auto record_fields_of(RecordTag<Characterization>) {
  return record<Characterization>("Characterization",
                                  "Sensor characterisation in physical units by the photon transfer method.",
                                  field("module", &Characterization::module, "calibration module short name"),
                                  field("modes", &Characterization::modes, "one per sensor mode characterised"));
}

// One mode. The reader of every capture set may be called from `workers`
// threads at once, each call for its own band. Before any capture is read,
// throws CalibrationError naming the mode, gain and what is missing when a
// gain has no dark captures or no lit captures, or a condition has fewer
// than 2 (or more than kMaxCaptures) captures, and ShapeError on an odd or
// empty frame; once read, CalibrationError when a cell has no unsaturated
// level. Progress: one step per condition read.
ModeCharacterization characterize_mode(const ModeCaptures& captures, const CharacterizationParam& param = {});

// Every mode apart, in the given order; a mode listed twice is an error.
// Every condition of every mode is checked before any capture is read.
Characterization characterize(const std::vector<ModeCaptures>& modes, const CharacterizationParam& param = {});

OrderedJson to_json(const Characterization& result);

}  // namespace tuning::characterize
