// Sum of many doubles in the order the host's array library adds them, so a
// mean computed here equals the host's to the last bit: pairwise summation
// within consecutive blocks of kSumBlock values, the block sums added in order.
#pragma once

#include <cstddef>

namespace tuning::bpc {

// Values the array library hands its summation loop at a time.
inline constexpr std::size_t kSumBlock = 8192;

// Pairwise sum of one run of at most a few thousand values: eight interleaved
// partial sums below 128 values, halves (rounded to multiples of 8) above.
double pairwise_sum(const double* values, std::size_t count);

// Sum of all values, block by block; blocks are summed on parallel threads.
double blocked_sum(const double* values, std::size_t count);

}  // namespace tuning::bpc
