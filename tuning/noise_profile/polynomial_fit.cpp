#include "polynomial_fit.h"

#include <lapacke.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "../shared/errors.h"

namespace tuning::noise {

namespace {

void require_finite(const std::vector<double>& values, const char* what) {
  for (double v : values)
    if (!std::isfinite(v)) throw ShapeError(std::string("fit_polynomial: ") + what + " holds a non-finite value");
}

}  // namespace

PolynomialFit fit_polynomial(const std::vector<double>& x, const std::vector<double>& y, std::size_t columns,
                             int degree, const std::vector<double>& weights) {
  const std::size_t points = x.size();
  if (points == 0) throw ShapeError("fit_polynomial: expected at least one x value, got none");
  if (degree < 0) throw ShapeError("fit_polynomial: expected degree >= 0, got " + std::to_string(degree));
  if (columns == 0 || y.size() != points * columns)
    throw ShapeError("fit_polynomial: expected " + std::to_string(points) + " y rows of " + std::to_string(columns) +
                     " values to match the x values, got " + std::to_string(y.size()) + " values");
  if (!weights.empty() && weights.size() != points)
    throw ShapeError("fit_polynomial: expected " + std::to_string(points) + " weights, got " +
                     std::to_string(weights.size()));
  require_finite(x, "x");
  require_finite(y, "y");
  require_finite(weights, "weights");

  const std::size_t terms = static_cast<std::size_t>(degree) + 1;
  const std::size_t ldb = std::max(points, terms);
  // Column-major design matrix A[k][j] = x[k]^(degree - j) and right-hand sides.
  std::vector<double> a(points * terms), b(ldb * columns, 0.0), scale(terms);
  for (std::size_t k = 0; k < points; ++k) {
    const double w = weights.empty() ? 1.0 : weights[k];
    double power = 1.0;
    for (std::size_t j = terms; j-- > 0;) {
      a[j * points + k] = power * w;
      power *= x[k];
    }
    for (std::size_t c = 0; c < columns; ++c) b[c * ldb + k] = y[k * columns + c] * w;
  }
  for (std::size_t j = 0; j < terms; ++j) {
    double squares = 0.0;
    for (std::size_t k = 0; k < points; ++k) squares += a[j * points + k] * a[j * points + k];
    // An all-zero column carries no information; leaving it unscaled keeps it
    // out of the rank and gives its coefficient 0 in the minimum-norm answer.
    scale[j] = squares > 0.0 ? std::sqrt(squares) : 1.0;
    for (std::size_t k = 0; k < points; ++k) a[j * points + k] /= scale[j];
  }

  const double rcond = static_cast<double>(points) * std::numeric_limits<double>::epsilon();
  std::vector<double> singular(std::min(points, terms));
  lapack_int rank = 0;
  const lapack_int info =
      LAPACKE_dgelsd(LAPACK_COL_MAJOR, static_cast<lapack_int>(points), static_cast<lapack_int>(terms),
                     static_cast<lapack_int>(columns), a.data(), static_cast<lapack_int>(points), b.data(),
                     static_cast<lapack_int>(ldb), singular.data(), rcond, &rank);
  if (info > 0) throw std::runtime_error("fit_polynomial: the singular value decomposition did not converge");
  if (info < 0) throw std::logic_error("fit_polynomial: LAPACK rejected argument " + std::to_string(-info));

  PolynomialFit fit;
  fit.terms = terms;
  fit.columns = columns;
  fit.rank = static_cast<int>(rank);
  fit.coefficients.resize(terms * columns);
  for (std::size_t j = 0; j < terms; ++j)
    for (std::size_t c = 0; c < columns; ++c) fit.coefficients[j * columns + c] = b[c * ldb + j] / scale[j];
  return fit;
}

}  // namespace tuning::noise
