#include "cell_moments.h"

#include "hot_loops.h"

namespace tuning::noise {

void CellMoments::add(const CaptureRows& rows) {
  for (std::int64_t r = 0; r < rows.rows; ++r) {
    std::uint64_t sum[2] = {0, 0}, square_sum[2] = {0, 0};
    add_row_moments(rows.samples + r * rows.width, static_cast<std::size_t>(rows.width), sum, square_sum);
    const int cell = 2 * static_cast<int>((rows.first_row + r) & 1);
    for (int k = 0; k < 2; ++k) {
      sum_[cell + k] += sum[k];
      square_sum_[cell + k] += square_sum[k];
      count_[cell + k] += static_cast<std::uint64_t>((rows.width + 1 - k) / 2);
    }
  }
}

void CellMoments::merge(const CellMoments& other) {
  for (int c = 0; c < kCellPositions; ++c) {
    sum_[c] += other.sum_[c];
    square_sum_[c] += other.square_sum_[c];
    count_[c] += other.count_[c];
  }
}

double CellMoments::mean(int cell) const {
  return static_cast<double>(static_cast<long double>(sum_[cell]) / static_cast<long double>(count_[cell]));
}

double CellMoments::variance(int cell) const {
  const unsigned __int128 n = count_[cell];
  // n * sum(x^2) - (sum x)^2 = n^2 * variance >= 0 (Cauchy-Schwarz), exact.
  const unsigned __int128 scaled = n * square_sum_[cell] - sum_[cell] * sum_[cell];
  const long double nn = static_cast<long double>(n) * static_cast<long double>(n);
  return static_cast<double>(static_cast<long double>(scaled) / nn);
}

}  // namespace tuning::noise
