// Per-pixel sums of samples and of squared samples over a list of captures,
// as whole frames of doubles (every value an exact integer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../shared/capture_format.h"

namespace tuning::noise {

struct CaptureSums {
  std::int64_t height = 0;
  std::int64_t width = 0;
  std::vector<double> sum_arr;         // height x width, row-major
  std::vector<double> square_sum_arr;  // height x width, row-major
  std::int64_t num = 0;                // captures summed
};

// Every capture must hold exactly height x width samples; a capture that is
// missing, unreadable or of another size fails with
// CalibrationError(kInvalidImageShape). Memory: the two result frames plus a
// band of rows, whatever the number of captures. No files: zero frames, num 0.
CaptureSums accumulate_capture_sums(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                                    const CaptureFormat& format = {});

}  // namespace tuning::noise
