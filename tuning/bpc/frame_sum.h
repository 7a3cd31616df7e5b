// Sum of many doubles in the order the host's array library adds them, so a
// mean computed here equals the host's to the last bit: pairwise summation
// within consecutive blocks of kSumBlock values, the block sums added in order.
#pragma once

#include <cstddef>
#include <vector>

namespace tuning::bpc {

// Values the array library hands its summation loop at a time.
inline constexpr std::size_t kSumBlock = 8192;

// Pairwise sum of one run of at most a few thousand values: eight interleaved
// partial sums below 128 values, halves (rounded to multiples of 8) above.
double pairwise_sum(const double* values, std::size_t count);

std::size_t sum_block_count(std::size_t count);

// Pairwise sums of the blocks of values [first, end) into block_sums[first /
// kSumBlock ...]; first is a multiple of kSumBlock, end is one too or the end
// of the values. chunk points at value first.
void sum_blocks(const double* chunk, std::size_t first, std::size_t end, double* block_sums);

// The block sums added in order: the sum of all values.
double add_block_sums(const std::vector<double>& block_sums);

// Sum of all values, block by block; blocks are summed on parallel threads.
double blocked_sum(const double* values, std::size_t count);

}  // namespace tuning::bpc
