// Exact per-pixel sums over a set of equally sized captures, produced a band
// of rows at a time: every capture's band is read and folded in before the
// next band starts, so only a band's worth of sums is ever held, and a
// calibration can consume each band while it is still in cache.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../shared/capture_format.h"

namespace tuning::noise {

// Sums over `num` captures of rows [first_row, first_row + rows) of the frame,
// row-major, `width` values per row. Integers: exact for any capture count.
struct CaptureBand {
  std::int64_t first_row = 0;
  std::int64_t rows = 0;
  std::int64_t width = 0;
  std::int64_t num = 0;
  const std::uint64_t* sum = nullptr;         // sample sums
  const std::uint64_t* square_sum = nullptr;  // sums of squared samples
};

using BandVisitor = std::function<void(const CaptureBand& band, int worker)>;

// Rows [first_row, first_row + rows) of one capture, as stored.
struct CaptureRows {
  std::int64_t first_row = 0;
  std::int64_t rows = 0;
  std::int64_t width = 0;
  const std::uint16_t* samples = nullptr;
};

using RowsVisitor = std::function<void(const CaptureRows& rows, int worker)>;

// Rows per band: even (whole Bayer cells) and small enough that a band's sums
// stay in a core's cache.
std::int64_t band_rows_for(std::int64_t width);

// Checks every file first (exactly one height x width frame of the format,
// else CalibrationError(kInvalidImageShape) with the cause nested), then calls visit once per band on up
// to `workers` threads; bands arrive in no fixed order and each worker index
// is used by one thread at a time. Nothing is visited when files is empty.
void fold_capture_bands(const std::vector<std::string>& files, std::int64_t height, std::int64_t width, int workers,
                        const BandVisitor& visit, const CaptureFormat& format = {});

// For statistics that need no per-pixel sums: every capture is checked as
// above, then visit is called once per block of rows of every capture (an even
// number of rows from an even first row) on up to `workers` threads, in no
// fixed order.
void fold_capture_rows(const std::vector<std::string>& files, std::int64_t height, std::int64_t width, int workers,
                       const RowsVisitor& visit, const CaptureFormat& format = {});

}  // namespace tuning::noise
