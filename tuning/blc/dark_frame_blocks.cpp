#include "dark_frame_blocks.h"

#include <algorithm>
#include <cmath>

#include "../shared/capture_bands.h"
#include "../shared/errors.h"

namespace tuning::blc {

std::int64_t mesh_block_count(std::int64_t x, std::int64_t mesh_size) {
  // Real halving, as the block count rule was first written; the x > 0 guard
  // keeps a zero dimension from halving forever when mesh_size <= 0.
  double v = static_cast<double>(x);
  const double mesh = static_cast<double>(mesh_size);
  while (v > 0 && std::fmod(v, 2.0) == 0.0) {
    v /= 2.0;
    if (v < mesh) break;
  }
  if (v < mesh) v *= 2.0;
  return static_cast<std::int64_t>(v);
}

BlockAxis block_axis(std::int64_t length, std::int64_t mesh_size, const char* what) {
  BlockAxis axis;
  axis.count = mesh_block_count(length, mesh_size);
  axis.size = axis.count > 0 ? length / axis.count : 0;
  if (axis.count <= 0 || axis.size <= 0 || axis.count * axis.size != length)
    throw ShapeError("dark shading blocks do not fit the frame " + std::string(what) + ": " + std::to_string(length) +
                     " samples cut into " + std::to_string(axis.count) + " blocks (mesh size " +
                     std::to_string(mesh_size) + ") leaves blocks of " + std::to_string(axis.size) + " samples; " +
                     std::string(what) + " must be a positive multiple of " + std::to_string(axis.count));
  return axis;
}

namespace {

// Exact block sums of frames fed row by row. The rows of one block row are
// first added column by column (a plain vertical add the compiler vectorises),
// and folded into their blocks once the block row is complete.
class BlockSums {
 public:
  BlockSums(BlockAxis rows, BlockAxis cols)
      : rows_(rows),
        cols_(cols),
        column_sums_(static_cast<std::size_t>(cols.count * cols.size), 0),
        sums_(static_cast<std::size_t>(rows.count * cols.count), 0) {}

  // Row y (0-based within its frame) of a frame.
  void add_row(const std::uint16_t* row, std::int64_t y) {
    std::uint32_t* column = column_sums_.data();
    for (std::size_t x = 0; x < column_sums_.size(); ++x) column[x] += row[x];
    ++rows_pending_;
    if ((y + 1) % rows_.size == 0 || rows_pending_ == kMaxPendingRows) fold(y / rows_.size);
  }

  const std::vector<std::uint64_t>& sums() const { return sums_; }

 private:
  // 2^16 rows of 65535 still fit a 32-bit column sum.
  static constexpr std::int64_t kMaxPendingRows = std::int64_t{1} << 16;

  void fold(std::int64_t block_row) {
    std::uint64_t* out = sums_.data() + block_row * cols_.count;
    for (std::int64_t j = 0; j < cols_.count; ++j) {
      const std::uint32_t* column = column_sums_.data() + j * cols_.size;
      std::uint64_t total = 0;
      for (std::int64_t x = 0; x < cols_.size; ++x) total += column[x];
      out[j] += total;
    }
    std::fill(column_sums_.begin(), column_sums_.end(), 0);
    rows_pending_ = 0;
  }

  BlockAxis rows_, cols_;
  std::vector<std::uint32_t> column_sums_;
  std::vector<std::uint64_t> sums_;
  std::int64_t rows_pending_ = 0;
};

}  // namespace

bool frame_size_fits(std::int64_t height, std::int64_t width) {
  std::int64_t bytes = 0;  // 16-bit samples, and room for the sums over them
  return height > 0 && width > 0 && !__builtin_mul_overflow(height, width, &bytes) &&
         !__builtin_mul_overflow(bytes, std::int64_t{8}, &bytes);
}

void require_frame_samples(const std::string& path, std::uint64_t found, std::int64_t height, std::int64_t width) {
  if (!frame_size_fits(height, width))
    throw ShapeError("capture '" + path + "' holds " + std::to_string(found) + " samples; " + std::to_string(height) +
                     " x " + std::to_string(width) + " is no frame size");
  const std::uint64_t expected = static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(width);
  if (found != expected)
    throw ShapeError("capture '" + path + "' holds " + std::to_string(found) + " samples; a " + std::to_string(height) +
                     " x " + std::to_string(width) + " frame needs exactly " + std::to_string(expected));
}

void require_frame_size(const std::string& path, const CaptureFormat& format, std::int64_t height, std::int64_t width) {
  if (is_plain_raw16(format)) return require_frame_samples(path, raw_sample_count(path), height, width);
  open_capture(path, format, width, height, ShapeRule::exact);
}

std::vector<double> averaged_block_means(const std::vector<std::string>& files, BlockAxis rows, BlockAxis cols,
                                         const CaptureFormat& format) {
  if (files.empty()) throw AssertionFailure("averaged_block_means needs at least one capture file");
  const std::int64_t height = rows.count * rows.size;
  const std::int64_t width = cols.count * cols.size;
  BlockSums block_sums(rows, cols);
  try {
    for_each_capture_band(files, format, height, width, ShapeRule::exact,
                          [&](const std::uint16_t* band, std::int64_t first_row, std::int64_t count) {
                            for (std::int64_t r = 0; r < count; ++r)
                              block_sums.add_row(band + r * width, first_row + r);
                          });
  } catch (const CaptureSizeError& e) {
    if (is_plain_raw16(format)) require_frame_samples(e.path(), e.found() / 2, height, width);
    throw;
  }

  const double samples_per_block =
      static_cast<double>(files.size()) * static_cast<double>(rows.size) * static_cast<double>(cols.size);
  const std::vector<std::uint64_t>& sums = block_sums.sums();
  std::vector<double> means(sums.size());
  std::transform(sums.begin(), sums.end(), means.begin(),
                 [&](std::uint64_t s) { return static_cast<double>(s) / samples_per_block; });
  return means;
}

}  // namespace tuning::blc
