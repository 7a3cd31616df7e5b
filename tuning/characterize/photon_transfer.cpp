#include "photon_transfer.h"

#include <algorithm>
#include <cmath>

#include "../shared/errors.h"
#include "figure_text.h"

namespace tuning::characterize {

namespace {

// The fit stays below 70 % of the saturation signal, where the curve of a
// sound sensor is still straight.
constexpr double kLinearShare = 0.7;
// A lit pixel always has at least the dark frame's temporal noise; half of it
// only once its samples sit at the clipping level.
constexpr double kClippedShare = 0.5;
// The variance has collapsed once a brighter point falls below half the peak:
// well beyond the spread of a point that passes the sample threshold.
constexpr double kCollapseShare = 0.5;
// Residuals count as excessive beyond 3 times what the sample counts explain,
// and never below 1 % of the fitted variance (the model's own tolerance).
constexpr double kResidualNoiseFactor = 3.0;
constexpr double kResidualFloor = 0.01;

QualityFlag flag(const char* name, bool passed, double value, double limit, const std::string& warning) {
  return {name, passed, value, limit, passed ? std::string() : warning};
}

void fill_snr(CurvePoint& p) {
  p.snr = p.temporal_variance > 0.0 ? p.signal / std::sqrt(p.temporal_variance) : kUnknown;
  p.snr_db = p.snr > 0.0 ? 20.0 * std::log10(p.snr) : kUnknown;
}

}  // namespace

PhotonTransfer analyse_photon_transfer(std::vector<CurvePoint> points, const CurveContext& context) {
  std::sort(points.begin(), points.end(), [](const CurvePoint& a, const CurvePoint& b) { return a.signal < b.signal; });
  PhotonTransfer out;
  bool any_usable = false;
  for (CurvePoint& p : points) {
    fill_snr(p);
    p.clipped = p.signal >= context.clip_signal || p.temporal_variance < kClippedShare * context.dark_temporal_variance;
    any_usable = any_usable || (!p.clipped && p.signal > 0.0);
  }
  if (!any_usable)
    throw CalibrationError("no unsaturated level above the dark level in the lit captures of " + context.where + ": " +
                           std::to_string(points.size()) +
                           " levels, each clipped or at most at the dark level; lower the exposure or light");

  std::size_t peak = 0;
  for (std::size_t i = 1; i < points.size(); ++i)
    if (points[i].temporal_variance > points[peak].temporal_variance) peak = i;
  for (std::size_t i = peak + 1; i < points.size(); ++i)
    if (points[i].clipped || points[i].temporal_variance < kCollapseShare * points[peak].temporal_variance)
      out.saturation_found = true;
  if (out.saturation_found) out.saturation_signal = points[peak].signal;

  const auto usable = [&](std::size_t i) {
    return !points[i].clipped && points[i].signal > 0.0 && (!out.saturation_found || i <= peak);
  };
  for (std::size_t i = 0; i < points.size(); ++i)
    points[i].in_fit = usable(i) && (!out.saturation_found || points[i].signal <= kLinearShare * out.saturation_signal);
  // A scene that is nearly all saturated leaves nothing below 70 %: fit what
  // is below the peak so the flags can say how little that is.
  const auto none_in_fit = [&] {
    return std::none_of(points.begin(), points.end(), [](const CurvePoint& p) { return p.in_fit; });
  };
  if (none_in_fit())
    for (std::size_t i = 0; i < points.size(); ++i) points[i].in_fit = usable(i);
  // A peak at or below the dark level leaves nothing before it: fall back on
  // every unclipped point above the dark level (there is one, checked above).
  if (none_in_fit())
    for (CurvePoint& p : points) p.in_fit = !p.clipped && p.signal > 0.0;

  std::vector<double> x, y, w;
  std::vector<const CurvePoint*> fitted;
  for (const CurvePoint& p : points) {
    if (!p.in_fit) continue;
    x.push_back(p.signal);
    y.push_back(p.temporal_variance);
    w.push_back(p.samples);
    fitted.push_back(&p);
  }
  out.levels = static_cast<int>(x.size());
  out.span = x.back() / x.front();
  out.fit = fit_line(x, y, w);
  if (std::isnan(out.fit.slope)) {
    // One level: the line through the dark frame's variance at zero signal.
    out.fit.slope = (y.front() - context.dark_temporal_variance) / x.front();
    out.fit.intercept = context.dark_temporal_variance;
  }
  // An unbiased variance from P pixels of n samples each spreads by
  // sqrt(2 / (P (n - 1))) of itself; measured like the fit's residual.
  double noise = 0.0, scale = 0.0;
  for (const CurvePoint* p : fitted) {
    const double predicted = out.fit.slope * p->signal + out.fit.intercept;
    noise += p->samples * predicted * predicted * 2.0 / (p->samples - p->pixels);
    scale += p->samples * predicted * predicted;
  }
  out.expected_residual = std::sqrt(noise / scale);

  const double residual_limit = std::max(kResidualFloor, kResidualNoiseFactor * out.expected_residual);
  out.flags.push_back(flag(
      "levels", out.levels >= kMinLevels, out.levels, kMinLevels,
      std::to_string(out.levels) + " level(s) in the linear part of the photon transfer curve of " + context.where +
          ", at least " + std::to_string(kMinLevels) + " needed: the conversion gain rests on too few points"));
  out.flags.push_back(flag("span", out.span >= kMinSpan, out.span, kMinSpan,
                           "the fitted signals of " + context.where + " span " + figure_text(out.span) + "x (" +
                               figure_text(x.front()) + " to " + figure_text(x.back()) + " DN), at least " +
                               figure_text(kMinSpan) + "x needed: add darker or brighter levels"));
  out.flags.push_back(flag("r_squared", out.fit.r_squared >= kMinRSquared, out.fit.r_squared, kMinRSquared,
                           "R^2 of the photon transfer fit of " + context.where + " is " +
                               figure_text(out.fit.r_squared) + ", below " + figure_text(kMinRSquared) +
                               ": the variance does not grow linearly with the signal"));
  out.flags.push_back(
      flag("residual", out.fit.relative_residual <= residual_limit, out.fit.relative_residual, residual_limit,
           "the photon transfer fit of " + context.where + " leaves residuals of " +
               figure_text(100.0 * out.fit.relative_residual) + " % of the variance, above " +
               figure_text(100.0 * residual_limit) + " % (" + figure_text(kResidualNoiseFactor) +
               "x what the sample counts explain, at least " + figure_text(100.0 * kResidualFloor) + " %)"));
  out.flags.push_back(flag("saturation", out.saturation_found, out.saturation_signal, kUnknown,
                           "the temporal variance of " + context.where +
                               " does not collapse at the brightest level: saturation not reached, so the "
                               "saturation capacity and the dynamic range are unknown"));
  out.curve = std::move(points);
  return out;
}

}  // namespace tuning::characterize
