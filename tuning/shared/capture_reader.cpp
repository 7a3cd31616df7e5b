#include "capture_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "atomic_file.h"
#include "dng_file.h"

namespace tuning {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throw_io_error(const std::string& what, const std::string& path, int err) {
  throw fs::filesystem_error(what, fs::path(path), std::error_code(err, std::generic_category()));
}

std::string size_text(std::int64_t width, std::int64_t height) {
  return std::to_string(width) + " x " + std::to_string(height);
}

// Unpacking goes through a scratch buffer of about this many bytes, so a
// packed frame never needs a second frame-sized buffer.
constexpr std::size_t kScratchBytes = std::size_t{256} << 10;

}  // namespace

CaptureSizeError::CaptureSizeError(const std::string& path, const std::string& what, std::uint64_t expected,
                                   std::uint64_t found)
    : ShapeError(path + ": " + what + " must hold " + std::to_string(expected) + " bytes, found " +
                 std::to_string(found)),
      path_(path),
      expected_(expected),
      found_(found) {}

CaptureSizeError::CaptureSizeError(WholeMessage, const std::string& message, const std::string& path,
                                   std::uint64_t expected, std::uint64_t found)
    : ShapeError(message), path_(path), expected_(expected), found_(found) {}

CaptureSizeError CaptureSizeError::dng_frame(const std::string& path, std::int64_t width, std::int64_t height,
                                             std::int64_t found_width, std::int64_t found_height) {
  auto bytes = [](std::int64_t w, std::int64_t h) { return static_cast<std::uint64_t>(w) * h * 2; };
  return CaptureSizeError(
      WholeMessage{},
      path + ": the DNG frame is " + size_text(found_width, found_height) + ", expected " + size_text(width, height),
      path, bytes(width, height), bytes(found_width, found_height));
}

struct CaptureFile::State {
  std::string path;
  CaptureFormat format;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint64_t file_bytes = 0;
  std::uint64_t stride = 0;
  int fd = -1;
  std::unique_ptr<DngFile> dng;  // a DNG's samples, read on demand

  ~State() {
    if (fd >= 0) ::close(fd);
  }

  std::string what() const { return "a " + format.text() + " capture of " + size_text(width, height); }

  void read_bytes(std::uint64_t offset, std::uint64_t bytes, void* dest) const {
    auto* out = static_cast<char*>(dest);
    std::uint64_t got = 0;
    while (got < bytes) {
      const ssize_t n = ::pread(fd, out + got, bytes - got, static_cast<off_t>(offset + got));
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_io_error("cannot read capture", path, errno);
      }
      if (n == 0) throw CaptureSizeError(path, what() + " (the file shrank while read)", offset + bytes, offset + got);
      got += static_cast<std::uint64_t>(n);
    }
  }
};

namespace {}  // namespace

CaptureFile::CaptureFile(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                         SizeRule rule)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
  s.format = format;
  s.width = width;
  s.height = height;
  if (width < 0 || height < 0)
    throw FormatError("capture frame size must not be negative, got " + size_text(width, height));
  if (format.is_dng()) {
    s.dng = std::make_unique<DngFile>(path);
    const DngInfo& info = s.dng->info();
    if (info.width != width || info.height != height)
      throw CaptureSizeError::dng_frame(path, width, height, info.width, info.height);
    s.file_bytes = s.dng->file_bytes();
    return;
  }
  check_format(format, width);
  s.stride = row_stride_bytes(format, width);
  s.fd = open_regular_file(path, s.file_bytes);
  const std::uint64_t expected = capture_file_bytes(format, width, height);
  if (s.file_bytes < expected || (rule == SizeRule::exact && s.file_bytes != expected))
    throw CaptureSizeError(path, s.what(), expected, s.file_bytes);
}

CaptureFile::~CaptureFile() = default;
CaptureFile::CaptureFile(CaptureFile&&) noexcept = default;
CaptureFile& CaptureFile::operator=(CaptureFile&&) noexcept = default;

const std::string& CaptureFile::path() const { return state_->path; }
std::int64_t CaptureFile::width() const { return state_->width; }
std::int64_t CaptureFile::height() const { return state_->height; }
std::uint64_t CaptureFile::file_bytes() const { return state_->file_bytes; }

void CaptureFile::read_rows(std::int64_t first_row, std::int64_t rows, std::uint16_t* dest) const {
  const State& s = *state_;
  if (first_row < 0 || rows < 0 || first_row + rows > s.height)
    throw std::out_of_range("rows " + std::to_string(first_row) + ".." + std::to_string(first_row + rows) +
                            " are outside the frame of " + std::to_string(s.height) + " rows");
  const auto w = static_cast<std::size_t>(s.width);
  if (s.format.is_dng()) return s.dng->read_rows(first_row, rows, dest);
  const std::uint64_t row_bytes = packed_row_bytes(s.format.layout, s.width);
  const std::uint64_t start =
      static_cast<std::uint64_t>(s.format.header) + static_cast<std::uint64_t>(first_row) * s.stride;
  const bool sixteen_bits = sample_layout_bits(s.format.layout) == 16;
  if (sixteen_bits && s.stride == row_bytes) {
    // Rows lie back to back in the file's sample size: read them in place.
    s.read_bytes(start, static_cast<std::uint64_t>(rows) * row_bytes, dest);
    if (s.format.layout != SampleLayout::raw16) {
      auto* bytes = reinterpret_cast<const std::uint8_t*>(dest);
      for (std::int64_t y = 0; y < rows; ++y)
        unpack_row(s.format, bytes + static_cast<std::size_t>(y) * row_bytes, dest + static_cast<std::size_t>(y) * w,
                   s.width);
    }
    return;
  }
  const std::int64_t rows_per_chunk =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(kScratchBytes / std::max<std::uint64_t>(s.stride, 1)));
  // One scratch buffer per thread: several threads read one capture at once.
  thread_local std::vector<std::uint8_t> scratch;
  scratch.resize(static_cast<std::size_t>(std::min(rows_per_chunk, std::max<std::int64_t>(rows, 1)) * s.stride));
  for (std::int64_t y0 = 0; y0 < rows; y0 += rows_per_chunk) {
    const std::int64_t n = std::min(rows_per_chunk, rows - y0);
    // The padding after the chunk's last row is not needed: stop at its pixels.
    const std::uint64_t bytes = static_cast<std::uint64_t>(n - 1) * s.stride + row_bytes;
    s.read_bytes(start + static_cast<std::uint64_t>(y0) * s.stride, bytes, scratch.data());
    for (std::int64_t y = 0; y < n; ++y)
      unpack_row(s.format, scratch.data() + static_cast<std::size_t>(y) * s.stride,
                 dest + static_cast<std::size_t>(y0 + y) * w, s.width);
  }
}

void CaptureFile::read_samples(std::uint64_t first, std::size_t count, std::uint16_t* dest) const {
  const State& s = *state_;
  if (count == 0) return;
  const auto w = static_cast<std::uint64_t>(s.width);
  if (first + count > w * static_cast<std::uint64_t>(s.height))
    throw std::out_of_range("samples " + std::to_string(first) + ".." + std::to_string(first + count) +
                            " are outside the frame of " + std::to_string(w * s.height) + " samples");
  if (s.format.layout == SampleLayout::raw16 && s.stride == w * 2) {
    s.read_bytes(static_cast<std::uint64_t>(s.format.header) + first * 2, count * 2, dest);
    return;
  }
  const auto first_row = static_cast<std::int64_t>(first / w);
  const auto last_row = static_cast<std::int64_t>((first + count - 1) / w);
  thread_local Samples rows;
  rows.resize(static_cast<std::size_t>((last_row - first_row + 1) * s.width));
  read_rows(first_row, last_row - first_row + 1, rows.data());
  std::copy_n(rows.data() + (first - static_cast<std::uint64_t>(first_row) * w), count, dest);
}

bool is_plain_raw16(const CaptureFormat& format) {
  return format.layout == SampleLayout::raw16 && format.stride == 0 && format.header == 0;
}

CaptureFile open_capture(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                         ShapeRule rule) {
  if (!is_plain_raw16(format)) return CaptureFile(path, format, width, height, SizeRule::exact);
  CaptureFile file(path, format, width, height, SizeRule::at_least);
  const std::uint64_t samples = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  if (rule == ShapeRule::exact && file.file_bytes() / 2 != samples)
    throw CaptureSizeError(path, "a raw16 capture of " + size_text(width, height), samples * 2, file.file_bytes());
  return file;
}

void read_capture_into(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                       ShapeRule rule, RawBuffer& buffer) {
  const CaptureFile file = open_capture(path, format, width, height, rule);
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  file.read_frame(buffer.reserve(count));
  buffer.set_size(count);
}

Samples read_capture(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                     SizeRule rule) {
  CaptureFile file(path, format, width, height, rule);
  Samples samples(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  file.read_frame(samples.data());
  return samples;
}

void read_capture_into(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                       RawBuffer& buffer, SizeRule rule) {
  CaptureFile file(path, format, width, height, rule);
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  file.read_frame(buffer.reserve(count));
  buffer.set_size(count);
}

void write_capture(const std::string& path, const CaptureFormat& format, const std::uint16_t* frame, std::int64_t width,
                   std::int64_t height) {
  if (format.is_dng()) throw FormatError("a dng capture is written by the DNG writer");
  if (width < 0 || height < 0)
    throw FormatError("capture frame size must not be negative, got " + size_text(width, height));
  check_format(format, width);
  const std::uint32_t largest = largest_storable_sample(format);
  const auto w = static_cast<std::size_t>(width);
  for (std::size_t i = 0; i < w * static_cast<std::size_t>(height); ++i)
    if (frame[i] > largest)
      throw ShapeError("sample " + std::to_string(frame[i]) + " at row " + std::to_string(i / w) + ", column " +
                       std::to_string(i % w) + " does not fit " + format.text() + " (largest " +
                       std::to_string(largest) + ")");
  const auto stride = static_cast<std::size_t>(row_stride_bytes(format, width));
  AtomicFile out(path);
  // Rows are packed into a chunk of about kScratchBytes and written together;
  // header and padding bytes are zero.
  const std::size_t rows_per_chunk = std::max<std::size_t>(1, kScratchBytes / std::max<std::size_t>(stride, 1));
  std::vector<std::uint8_t> chunk(std::max(static_cast<std::size_t>(format.header), rows_per_chunk * stride), 0);
  out.write(chunk.data(), static_cast<std::size_t>(format.header));
  for (std::int64_t y0 = 0; y0 < height; y0 += static_cast<std::int64_t>(rows_per_chunk)) {
    const auto n = std::min<std::size_t>(rows_per_chunk, static_cast<std::size_t>(height - y0));
    std::fill(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n * stride), 0);
    for (std::size_t y = 0; y < n; ++y)
      pack_row(format, frame + (static_cast<std::size_t>(y0) + y) * w, chunk.data() + y * stride, width);
    out.write(chunk.data(), n * stride);
  }
  out.commit();
}

}  // namespace tuning
