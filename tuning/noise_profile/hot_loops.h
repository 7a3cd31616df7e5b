// The per-sample loops of the noise calibrations. They run over every sample
// of every capture, so each is compiled twice, for AVX2 machines and for any
// x86-64, and the loader picks the one the processor runs; other targets build
// them once. Integer arithmetic only (the level quotient excepted), so both
// builds give identical results.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define NOISE_HOT_LOOP __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define NOISE_HOT_LOOP
#endif

namespace tuning::noise {

// Adds the sums of samples and of squared samples of the even columns to
// sum[0], square_sum[0] and of the odd columns to sum[1], square_sum[1].
void add_row_moments(const std::uint16_t* row, std::size_t width, std::uint64_t sum[2], std::uint64_t square_sum[2]);

// Folds one capture's samples into per-pixel sums; `first` starts them.
void fold_samples(const std::uint16_t* samples, std::size_t count, bool first, std::uint64_t* sum,
                  std::uint64_t* square_sum);

// The same for four captures at once: one pass over the sums instead of four.
void fold_four_samples(const std::uint16_t* const samples[4], std::size_t count, bool first, std::uint64_t* sum,
                       std::uint64_t* square_sum);

// level[i] = sum[i] / captures truncated (sum[i] < 2^52). A correctly rounded
// quotient below 65536 truncates to the exact floor for fewer than 2^36
// captures, so this is the integer quotient.
// Returns the lowest and the highest level written (count > 0).
struct LevelSpan {
  std::uint16_t lowest;
  std::uint16_t highest;
};
LevelSpan truncated_means(const std::uint64_t* sum, std::size_t count, std::uint64_t captures, std::uint16_t* level);

}  // namespace tuning::noise
