#include "capture_sums.h"

#include <algorithm>

#include "../shared/parallel_fold.h"
#include "capture_bands.h"

namespace tuning::noise {

CaptureSums accumulate_capture_sums(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                                    const CaptureFormat& format) {
  CaptureSums out;
  out.height = height;
  out.width = width;
  out.num = static_cast<std::int64_t>(files.size());
  const std::size_t size = static_cast<std::size_t>(std::max<std::int64_t>(height, 0)) *
                           static_cast<std::size_t>(std::max<std::int64_t>(width, 0));
  out.sum_arr.assign(size, 0.0);
  out.square_sum_arr.assign(size, 0.0);
  // Integer band sums below 2^53 convert to doubles exactly.
  fold_capture_bands(
      files, height, width, default_workers(),
      [&](const CaptureBand& band, int) {
        const std::size_t offset = static_cast<std::size_t>(band.first_row * band.width);
        const std::size_t count = static_cast<std::size_t>(band.rows * band.width);
        std::transform(band.sum, band.sum + count, out.sum_arr.begin() + offset,
                       [](std::uint64_t v) { return static_cast<double>(v); });
        std::transform(band.square_sum, band.square_sum + count, out.square_sum_arr.begin() + offset,
                       [](std::uint64_t v) { return static_cast<double>(v); });
      },
      format);
  return out;
}

}  // namespace tuning::noise
