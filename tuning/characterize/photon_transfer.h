// The photon transfer curve of one cell position at one gain: temporal
// variance against mean signal above the dark level. Its linear part gives
// the conversion gain; the point where the variance collapses gives the
// saturation level.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "../shared/record_fields.h"
#include "line_fit.h"

namespace tuning::characterize {

inline constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

struct CurvePoint {
  double exposure = kUnknown;      // of the flat captures behind the point (the caller's unit); NaN for scene levels
  double signal = 0.0;             // mean above the dark level (DN)
  double temporal_variance = 0.0;  // unbiased, over the captures, averaged over the pixels (DN^2)
  double spatial_variance = kUnknown;  // flats: of the capture-averaged frame less temporal_variance / n (DN^2)
  double pixels = 0.0;                 // pixels behind the point
  double samples = 0.0;                // pixels x captures
  double snr = kUnknown;               // signal / sqrt(temporal_variance) (ratio)
  double snr_db = kUnknown;            // 20 log10(snr) (dB)
  bool clipped = false;                // at the white level, or with less temporal noise than the dark frame
  bool in_fit = false;                 // in the linear part the conversion gain is fitted to
};

// The record of a curve point; a figure the captures cannot give is None.
constexpr auto record_fields_of(RecordTag<CurvePoint>) {
  return record<CurvePoint>(
      "CurvePoint", "One point of the photon transfer and signal-to-noise curves.",
      field("exposure", &CurvePoint::exposure,
            "exposure of the flat captures behind the point (as named); None for scene levels")
          .unset(),
      field("signal", &CurvePoint::signal, "mean signal above the dark level (DN)").unset(),
      field("temporal_variance", &CurvePoint::temporal_variance,
            "variance over the captures (divisor n - 1), averaged over the pixels (DN^2)")
          .unset(),
      field("spatial_variance", &CurvePoint::spatial_variance,
            "flats: variance of the capture-averaged frame less the temporal part / n (DN^2)")
          .unset(),
      field("pixels", &CurvePoint::pixels, "pixels behind the point (count)").unset(),
      field("samples", &CurvePoint::samples, "pixels x captures (count)").unset(),
      field("snr", &CurvePoint::snr, "signal / temporal noise (ratio)").unset(),
      field("snr_db", &CurvePoint::snr_db, "20 log10(snr) (dB)").unset(),
      field("clipped", &CurvePoint::clipped, "at the white level, or quieter than the dark frame"),
      field("in_fit", &CurvePoint::in_fit, "in the linear part the conversion gain is fitted to"));
}

// One check of a fit. name: levels, span, r_squared, residual, saturation or
// k_growth; value and limit in the check's own unit (count, ratio, DN, DN/e-).
struct QualityFlag {
  std::string name;
  bool passed = true;
  double value = kUnknown;
  double limit = kUnknown;
  std::string warning;  // what is wrong and what it means; empty when passed
};

constexpr auto record_fields_of(RecordTag<QualityFlag>) {
  return record<QualityFlag>(
      "QualityFlag", "One quality check of a fit.",
      field("name", &QualityFlag::name, "levels, span, r_squared, residual, saturation or k_growth"),
      field("passed", &QualityFlag::passed, "whether the check is met"),
      field("value", &QualityFlag::value, "measured value, in the check's unit (count, ratio, DN, DN/e-)").unset(),
      field("limit", &QualityFlag::limit, "the limit it is held against, same unit").unset(),
      field("warning", &QualityFlag::warning, "what is wrong and what it means; empty when passed"));
}

// Thresholds a trustworthy fit meets.
inline constexpr int kMinLevels = 3;
inline constexpr double kMinSpan = 4.0;
inline constexpr double kMinRSquared = 0.99;

struct PhotonTransfer {
  std::vector<CurvePoint> curve;  // by rising signal
  LineFit fit;                    // temporal variance (DN^2) against signal (DN) over the linear part
  int levels = 0;                 // points in the linear part
  double span = kUnknown;         // highest over lowest signal of the linear part (ratio)
  // Relative spread the sample counts alone give the fitted variances (ratio).
  double expected_residual = kUnknown;
  bool saturation_found = false;
  double saturation_signal = kUnknown;  // signal where the variance peaks before it collapses (DN)
  std::vector<QualityFlag> flags;
};

struct CurveContext {
  double dark_temporal_variance = 0.0;  // DN^2
  double clip_signal = 0.0;             // white level less dark level (DN)
  std::string where;                    // names the gain and cell in errors and warnings
};

// Sorts the points, marks clipped ones, finds saturation and fits the linear
// part (signals up to 70 % of saturation) with weights by samples. Throws
// CalibrationError when no point above the dark level is unclipped.
PhotonTransfer analyse_photon_transfer(std::vector<CurvePoint> points, const CurveContext& context);

}  // namespace tuning::characterize
