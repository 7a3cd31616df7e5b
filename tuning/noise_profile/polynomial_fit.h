// Weighted least-squares polynomial fit by singular value decomposition.
#pragma once

#include <cstddef>
#include <vector>

namespace tuning::noise {

// Coefficients of the fit, highest power first: row j holds the coefficient of
// x^(degree - j) for every value column.
struct PolynomialFit {
  std::size_t terms = 0;             // degree + 1
  std::size_t columns = 0;           // value columns fitted at once
  std::vector<double> coefficients;  // terms x columns, row-major
  int rank = 0;                      // effective rank of the scaled design matrix

  double at(std::size_t term, std::size_t column) const { return coefficients[term * columns + column]; }
};

// Fits `columns` value columns (y row-major: x.size() rows x columns) with one
// polynomial each. Weights, when not empty, multiply the residuals (a weight of
// 2 counts a point four times in the squared error). Each design column is
// scaled to unit length before the solve; singular values up to
// x.size() * machine epsilon times the largest count as zero, and a
// rank-deficient problem yields its minimum-norm solution without error.
// Throws ShapeError when x is empty, the lengths disagree, degree is negative or
// a value is not finite; std::runtime_error when the solver does not converge.
PolynomialFit fit_polynomial(const std::vector<double>& x, const std::vector<double>& y, std::size_t columns,
                             int degree, const std::vector<double>& weights = {});

}  // namespace tuning::noise
