// Weighted least-squares line y = slope x + intercept with the figures that
// judge it.
#pragma once

#include <vector>

namespace tuning::characterize {

struct LineFit {
  double slope = 0.0;
  double intercept = 0.0;
  // 1 - (weighted residual sum of squares) / (weighted spread of y about its mean).
  double r_squared = 0.0;
  // Weighted root mean square of the residuals over that of the fitted
  // values: a scale-free spread that small values near zero do not inflate.
  double relative_residual = 0.0;
};

// Needs at least two distinct x with positive weight; otherwise slope and the
// figures are NaN.
LineFit fit_line(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& weights);

}  // namespace tuning::characterize
