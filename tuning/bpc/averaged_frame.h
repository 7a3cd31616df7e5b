// The averaged frame of one capture condition: the running sum of
// frame / N over the N captures in file order, in double precision.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame_sum.h"

namespace tuning::bpc {

// Values averaged at a time per capture: small enough to stay in cache while
// every capture is added, a whole number of summation blocks.
inline constexpr std::size_t kChunkValues = 4 * kSumBlock;

// Called on a worker thread with the range [first, end) of final averaged
// values while they are still in cache; first is a multiple of kChunkValues.
using FinishedValues = std::function<void(std::size_t first, std::size_t end)>;

// Fills mean_img (resized to height x width) with the average of the first
// height x width samples of every file. The frame is averaged a chunk at a
// time on parallel threads; every value sees the same additions in the same
// (file) order as a whole-frame pass would. Throws
// CalibrationError("invalid image shape, check your file param") for a
// capture that cannot be read (the I/O error nested) or holds fewer samples
// than the frame; the first such file in file order is the one reported.
void average_captures(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                      std::vector<double>& mean_img, const FinishedValues& finished = {});

}  // namespace tuning::bpc
