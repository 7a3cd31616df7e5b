#include "dark_frame_blocks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "../shared/errors.h"
#include "../shared/raw_capture.h"

namespace tuning::blc {

std::int64_t get_stride(std::int64_t x, std::int64_t mesh_size) {
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
  axis.count = get_stride(length, mesh_size);
  axis.size = axis.count > 0 ? length / axis.count : 0;
  if (axis.count <= 0 || axis.size <= 0 || axis.count * axis.size != length)
    throw ShapeError("dark shading blocks do not fit the frame " + std::string(what) + ": " +
                     std::to_string(length) + " samples cut into " + std::to_string(axis.count) +
                     " blocks (mesh size " + std::to_string(mesh_size) + ") leaves blocks of " +
                     std::to_string(axis.size) + " samples; " + std::string(what) + " must be a positive multiple of " +
                     std::to_string(axis.count));
  return axis;
}

void require_frame_samples(const std::string& path, std::uint64_t found, std::int64_t height, std::int64_t width) {
  const std::uint64_t expected = static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(width);
  if (found != expected)
    throw ShapeError("capture '" + path + "' holds " + std::to_string(found) + " samples; a " +
                     std::to_string(height) + " x " + std::to_string(width) + " frame needs exactly " +
                     std::to_string(expected));
}

namespace {

[[noreturn]] void throw_io_error(const std::string& what, const std::string& path, int err) {
  throw std::filesystem::filesystem_error(what, std::filesystem::path(path),
                                          std::error_code(err, std::generic_category()));
}

// A capture read a band of rows at a time: the band stays in cache while it is
// summed, so each sample crosses memory once, on its way from the file.
class CaptureRows {
 public:
  explicit CaptureRows(const std::string& path) : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw_io_error("cannot open raw capture", path, errno);
    struct stat info {};
    if (::fstat(fd_, &info) != 0) throw_io_error("cannot stat raw capture", path, errno);
    if (S_ISDIR(info.st_mode)) throw_io_error("raw capture is a directory", path, EISDIR);
    samples_ = static_cast<std::uint64_t>(info.st_size) / sizeof(std::uint16_t);
  }
  ~CaptureRows() { ::close(fd_); }
  CaptureRows(const CaptureRows&) = delete;
  CaptureRows& operator=(const CaptureRows&) = delete;

  std::uint64_t samples() const { return samples_; }

  // Fills out completely; returns the samples read, fewer only at the end of the file.
  std::size_t read(std::uint16_t* out, std::size_t count) {
    auto* dest = reinterpret_cast<char*>(out);
    const std::size_t wanted = count * sizeof(std::uint16_t);
    std::size_t got = 0;
    while (got < wanted) {
      const ssize_t n = ::read(fd_, dest + got, wanted - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_io_error("cannot read raw capture", path_, errno);
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got / sizeof(std::uint16_t);
  }

 private:
  std::string path_;
  int fd_;
  std::uint64_t samples_ = 0;
};

// Adds the block sums of frame rows [first_row, first_row + row_count) into sums.
void add_block_sums(const std::uint16_t* rows_data, std::int64_t first_row, std::int64_t row_count, BlockAxis rows,
                    BlockAxis cols, std::vector<std::uint64_t>& sums) {
  // 32-bit partial sums vectorise well and cannot overflow within 2^16 samples.
  constexpr std::int64_t kPartial = std::int64_t{1} << 16;
  const std::int64_t width = cols.count * cols.size;
  for (std::int64_t r = 0; r < row_count; ++r) {
    const std::uint16_t* row = rows_data + r * width;
    std::uint64_t* out = sums.data() + ((first_row + r) / rows.size) * cols.count;
    for (std::int64_t j = 0; j < cols.count; ++j) {
      const std::uint16_t* block = row + j * cols.size;
      std::uint64_t total = 0;
      for (std::int64_t x0 = 0; x0 < cols.size; x0 += kPartial) {
        const std::int64_t x1 = std::min(cols.size, x0 + kPartial);
        std::uint32_t part = 0;
        for (std::int64_t x = x0; x < x1; ++x) part += block[x];
        total += part;
      }
      out[j] += total;
    }
  }
}

// Rows read and summed per band: about 256 KiB, so a band stays in cache.
constexpr std::size_t kBandBytes = std::size_t{256} << 10;

}  // namespace

std::vector<double> averaged_block_means(const std::vector<std::string>& files, BlockAxis rows, BlockAxis cols) {
  if (files.empty()) throw AssertionFailure("averaged_block_means needs at least one capture file");
  const std::int64_t height = rows.count * rows.size;
  const std::int64_t width = cols.count * cols.size;
  const std::int64_t band_rows =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(kBandBytes / sizeof(std::uint16_t)) / width);
  std::vector<std::uint16_t> band(static_cast<std::size_t>(std::min(band_rows, height) * width));
  std::vector<std::uint64_t> sums(static_cast<std::size_t>(rows.count * cols.count), 0);

  for (const auto& path : files) {
    CaptureRows capture(path);
    require_frame_samples(path, capture.samples(), height, width);
    for (std::int64_t y = 0; y < height; y += band_rows) {
      const std::int64_t count = std::min(band_rows, height - y);
      const std::size_t wanted = static_cast<std::size_t>(count * width);
      const std::size_t got = capture.read(band.data(), wanted);
      // The capture shrank while it was read.
      if (got != wanted) require_frame_samples(path, static_cast<std::uint64_t>(y * width) + got, height, width);
      add_block_sums(band.data(), y, count, rows, cols, sums);
    }
  }

  const double samples_per_block =
      static_cast<double>(files.size()) * static_cast<double>(rows.size) * static_cast<double>(cols.size);
  std::vector<double> means(sums.size());
  std::transform(sums.begin(), sums.end(), means.begin(),
                 [&](std::uint64_t s) { return static_cast<double>(s) / samples_per_block; });
  return means;
}

}  // namespace tuning::blc
