// Raw capture files: discovery by name, headerless 16-bit samples, frame shaping
// and the split of a Bayer frame into its four cell positions.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model.h"

namespace tuning {

using Samples = std::vector<std::uint16_t>;

// Sink for the short progress lines some routines print; the Python binding
// forwards them to the host's standard output.
using LineSink = std::function<void(const std::string&)>;

// A capture path naming a FIFO, device or socket (host: OSError, errno EINVAL).
class NotRegularFileError : public std::filesystem::filesystem_error {
 public:
  explicit NotRegularFileError(const std::string& path);
  static constexpr const char* kReason = "not a regular file (a FIFO, device or socket)";
};

// Opens a capture for reading without blocking (a FIFO would otherwise wait
// for a writer) and refuses anything but a regular file before a byte is
// read: filesystem_error naming the path (EISDIR for a folder), or
// NotRegularFileError. Returns the descriptor (the caller closes it) and the
// file's size.
int open_regular_file(const std::string& path, std::uint64_t& size);

// Throws std::invalid_argument (host: ValueError) when path holds a NUL character: the system
// would stop at it and open a shorter path.
void require_path_without_nul(const std::string& path);

// Whole file as little-endian unsigned 16-bit samples (size / 2 of them).
// Throws std::filesystem::filesystem_error naming the path on any I/O failure.
Samples read_raw_u16(const std::string& path);

// A reusable sample buffer: reading capture after capture into one buffer
// avoids allocating and zero-filling a frame per file.
class RawBuffer {
 public:
  const std::uint16_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  // Room for at least count samples; keeps the old storage when it is big enough.
  std::uint16_t* reserve(std::size_t count);
  void set_size(std::size_t count) { size_ = count; }

 private:
  std::unique_ptr<std::uint16_t[]> data_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

// Reads a whole capture into buffer, replacing its contents; same rules and
// errors as read_raw_u16.
void read_raw_u16_into(const std::string& path, RawBuffer& buffer);

// Number of samples read_raw_u16 would return, from the file's size; opens the
// file, so an unreadable capture fails here as it would there.
std::uint64_t raw_sample_count(const std::string& path);

// The host's textual path normalisation: no "." parts, ".." resolved where
// possible, no repeated or trailing separators, "" becomes ".".
std::string normalize_path(const std::string& path);

// Files matching a shell-style pattern. Only the part after the last "/" is a
// pattern; the folder is taken literally. Matches come in directory-listing
// order; a folder that cannot be listed yields no matches. Names starting with
// "." match only a pattern that starts with ".".
std::vector<std::string> glob_files(const std::string& pattern);

// Creates out_file_dir when it is not a directory yet (one level only).
void ensure_output_dir(const std::string& out_file_dir);

// Frame shaping: throws CalibrationError(kInvalidImageShape) when the capture
// holds fewer (truncating) or a different number (exact) of samples.
void require_truncating_shape(const Samples& samples, std::int64_t height, std::int64_t width);
void require_exact_shape(const Samples& samples, std::int64_t height, std::int64_t width);
void require_truncating_shape(std::size_t sample_count, std::int64_t height, std::int64_t width);
void require_exact_shape(std::size_t sample_count, std::int64_t height, std::int64_t width);

// Throws ShapeError unless height and width are both even and positive.
void require_even_frame(std::int64_t height, std::int64_t width);

// Channel c of cell (i, j) is frame[2i + c / 2][2j + c % 2]: the same split for
// every colour filter layout (R, Gr, Gb, B for RGGB).
constexpr int kCellPositions = 4;
using CellValues = std::array<double, kCellPositions>;
using CellSums = std::array<std::uint64_t, kCellPositions>;

// (H/2) x (W/2) x 4 copy of a row-major H x W frame.
Samples split_bayer4(const std::uint16_t* frame, std::int64_t height, std::int64_t width);

// Exact per-cell-position sums of the first height x width samples.
CellSums cell_position_sums(const std::uint16_t* frame, std::int64_t height, std::int64_t width);

}  // namespace tuning
