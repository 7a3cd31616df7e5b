#include "dark_frame_blocks.h"

#include <algorithm>
#include <cmath>
#include <future>

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

// Adds one frame's block sums into sums (rows.count x cols.count).
void add_block_sums(const std::uint16_t* frame, BlockAxis rows, BlockAxis cols, std::vector<std::uint64_t>& sums) {
  // 32-bit partial sums vectorise well and cannot overflow within 2^16 samples.
  constexpr std::int64_t kPartial = std::int64_t{1} << 16;
  const std::int64_t width = cols.count * cols.size;
  for (std::int64_t y = 0; y < rows.count * rows.size; ++y) {
    const std::uint16_t* row = frame + y * width;
    std::uint64_t* out = sums.data() + (y / rows.size) * cols.count;
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

}  // namespace

std::vector<double> averaged_block_means(const std::vector<std::string>& files, BlockAxis rows, BlockAxis cols) {
  const std::int64_t height = rows.count * rows.size;
  const std::int64_t width = cols.count * cols.size;
  std::vector<std::uint64_t> sums(static_cast<std::size_t>(rows.count * cols.count), 0);
  if (files.empty()) throw AssertionFailure("averaged_block_means needs at least one capture file");

  // Reading a capture and summing the previous one overlap on two threads;
  // at most two frames are held at any time.
  std::future<Samples> next = std::async(std::launch::async, read_raw_u16, files.front());
  for (std::size_t i = 0; i < files.size(); ++i) {
    Samples frame = next.get();
    if (i + 1 < files.size()) next = std::async(std::launch::async, read_raw_u16, files[i + 1]);
    require_frame_samples(files[i], frame.size(), height, width);
    add_block_sums(frame.data(), rows, cols, sums);
  }

  const double samples_per_block =
      static_cast<double>(files.size()) * static_cast<double>(rows.size) * static_cast<double>(cols.size);
  std::vector<double> means(sums.size());
  std::transform(sums.begin(), sums.end(), means.begin(),
                 [&](std::uint64_t s) { return static_cast<double>(s) / samples_per_block; });
  return means;
}

}  // namespace tuning::blc
