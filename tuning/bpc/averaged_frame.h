// The averaged frame of one capture condition: the running sum of
// frame / N over the N captures in file order, in double precision.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../shared/capture_format.h"
#include "frame_sum.h"

namespace tuning::bpc {

// Values averaged at a time: small enough to stay in cache while every
// capture is added, a whole number of summation blocks.
inline constexpr std::size_t kChunkValues = 4 * kSumBlock;

// Called on a worker thread for each chunk [first, end) of the averaged frame,
// values[i] holding averaged value first + i.
using FinishedChunk = std::function<void(std::size_t first, std::size_t end, const double* values)>;

// The captures of one condition, checked and opened: the first that cannot be
// read or holds fewer than height x width samples (in file order) throws
// CalibrationError("invalid image shape, check your file param"), I/O errors
// nested. The average of value i is the running sum over the captures, in
// file order, of sample i / N in double precision.
class AveragedCaptures {
 public:
  AveragedCaptures(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                   const CaptureFormat& format = {});
  ~AveragedCaptures();
  AveragedCaptures(const AveragedCaptures&) = delete;
  AveragedCaptures& operator=(const AveragedCaptures&) = delete;

  std::uint64_t value_count() const { return values_; }

  // Averages the frame a chunk at a time on parallel threads, each chunk kept
  // in cache while every capture is added; finished sees each chunk once.
  void for_each_chunk(const FinishedChunk& finished) const;

  // The whole averaged frame, row-major.
  std::vector<double> frame() const;

  // Averaged values [first, first + count) alone, bit for bit as above.
  void values(std::uint64_t first, std::size_t count, double* out) const;

 private:
  struct State;
  std::uint64_t values_ = 0;
  std::unique_ptr<State> state_;
};

}  // namespace tuning::bpc
