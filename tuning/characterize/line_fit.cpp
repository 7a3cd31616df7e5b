#include "line_fit.h"

#include <cmath>
#include <limits>

namespace tuning::characterize {

LineFit fit_line(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& weights) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  LineFit fit{nan, nan, nan, nan};
  double w = 0.0, wx = 0.0, wy = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    w += weights[i];
    wx += weights[i] * x[i];
    wy += weights[i] * y[i];
  }
  if (!(w > 0.0)) return fit;
  // Centred sums: no cancellation of large raw moments.
  const double mx = wx / w, my = wy / w;
  double sxx = 0.0, sxy = 0.0, syy = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double dx = x[i] - mx, dy = y[i] - my;
    sxx += weights[i] * dx * dx;
    sxy += weights[i] * dx * dy;
    syy += weights[i] * dy * dy;
  }
  if (!(sxx > 0.0)) return fit;
  fit.slope = sxy / sxx;
  fit.intercept = my - fit.slope * mx;
  double residual = 0.0, fitted = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double predicted = fit.slope * x[i] + fit.intercept;
    const double r = y[i] - predicted;
    residual += weights[i] * r * r;
    fitted += weights[i] * predicted * predicted;
  }
  fit.r_squared = syy > 0.0 ? 1.0 - residual / syy : nan;
  fit.relative_residual = std::sqrt(residual / fitted);
  return fit;
}

}  // namespace tuning::characterize
