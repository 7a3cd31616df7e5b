#include "frame_sum.h"

#include <algorithm>
#include <vector>

#include "../shared/parallel_fold.h"

namespace tuning::bpc {

namespace {

constexpr std::size_t kUnroll = 8;
constexpr std::size_t kPairwiseLeaf = 128;

}  // namespace

double pairwise_sum(const double* v, std::size_t n) {
  if (n < kUnroll) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += v[i];
    return sum;
  }
  if (n <= kPairwiseLeaf) {
    double r[kUnroll];
    for (std::size_t j = 0; j < kUnroll; ++j) r[j] = v[j];
    std::size_t i = kUnroll;
    for (; i < n - n % kUnroll; i += kUnroll)
      for (std::size_t j = 0; j < kUnroll; ++j) r[j] += v[i + j];
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) sum += v[i];
    return sum;
  }
  std::size_t half = n / 2;
  half -= half % kUnroll;
  return pairwise_sum(v, half) + pairwise_sum(v + half, n - half);
}

std::size_t sum_block_count(std::size_t count) { return (count + kSumBlock - 1) / kSumBlock; }

void sum_blocks(const double* chunk, std::size_t first, std::size_t end, double* block_sums) {
  for (std::size_t b = first; b < end; b += kSumBlock)
    block_sums[b / kSumBlock] = pairwise_sum(chunk + (b - first), std::min(kSumBlock, end - b));
}

double add_block_sums(const std::vector<double>& block_sums) {
  double sum = 0.0;
  for (double s : block_sums) sum += s;
  return sum;
}

double blocked_sum(const double* values, std::size_t count) {
  std::vector<double> block_sums(sum_block_count(count));
  for_each_band(static_cast<std::int64_t>(block_sums.size()), [&](int, std::int64_t begin, std::int64_t end) {
    const std::size_t first = static_cast<std::size_t>(begin) * kSumBlock;
    sum_blocks(values + first, first, std::min(count, static_cast<std::size_t>(end) * kSumBlock), block_sums.data());
  });
  return add_block_sums(block_sums);
}

}  // namespace tuning::bpc
