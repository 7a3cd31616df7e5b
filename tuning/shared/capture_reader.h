// The one capture reader: a capture format and a file to samples, the whole
// frame or a band of rows at a time. Only the bytes the frame needs are read,
// whatever the file's size, and a file that is no regular file (a folder, a
// FIFO, a device) is refused before any read, so a misnamed FIFO never blocks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capture_format.h"
#include "errors.h"
#include "raw_capture.h"

namespace tuning {

// A capture file whose size does not fit its format and frame size (host: ValueError).
class CaptureSizeError : public ShapeError {
 public:
  CaptureSizeError(const std::string& path, const std::string& what, std::uint64_t expected, std::uint64_t found);
  // A DNG whose frame is not the expected one; sizes as 16-bit sample bytes.
  static CaptureSizeError dng_frame(const std::string& path, std::int64_t width, std::int64_t height,
                                    std::int64_t found_width, std::int64_t found_height);
  const std::string& path() const { return path_; }
  std::uint64_t expected() const { return expected_; }
  std::uint64_t found() const { return found_; }

 private:
  struct WholeMessage {};
  CaptureSizeError(WholeMessage, const std::string& message, const std::string& path, std::uint64_t expected,
                   std::uint64_t found);
  std::string path_;
  std::uint64_t expected_;
  std::uint64_t found_;
};

// exact: the file must have exactly the format's size. at_least: longer files
// are fine, the bytes past the frame are never read (raw16 sets of today).
enum class SizeRule { exact, at_least };

// An opened capture. Opening checks the file type and size; reads then fill
// caller buffers with unpacked samples (raw DN), row-major, width per row.
// Errors: std::filesystem::filesystem_error naming the path for a missing,
// unreadable or non-regular file; CaptureSizeError for a size that does not
// fit; FormatError for a format that cannot describe the frame; DNG problems
// as the DNG reader reports them.
class CaptureFile {
 public:
  CaptureFile(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
              SizeRule rule = SizeRule::exact);
  ~CaptureFile();
  CaptureFile(CaptureFile&&) noexcept;
  CaptureFile& operator=(CaptureFile&&) noexcept;

  const std::string& path() const;
  std::int64_t width() const;
  std::int64_t height() const;
  std::uint64_t file_bytes() const;  // size of the file as opened

  // Rows [first_row, first_row + rows) into dest (rows * width samples).
  // Safe to call from several threads at once.
  void read_rows(std::int64_t first_row, std::int64_t rows, std::uint16_t* dest) const;
  void read_frame(std::uint16_t* dest) const { read_rows(0, height(), dest); }
  // Samples [first, first + count) of the row-major frame; rows may be cut.
  void read_samples(std::uint64_t first, std::size_t count, std::uint16_t* dest) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Whether a format is today's plain raw16: no stride, no header.
bool is_plain_raw16(const CaptureFormat& format);

// The size rule of a calibration routine: today's plain raw16 captures keep
// the rule each routine has always applied to their 16-bit sample count
// (bytes / 2): at least (truncating) or exactly (exact) height x width
// samples. Every other format must have exactly its size. A capture that
// breaks the rule throws CaptureSizeError (sizes in bytes).
enum class ShapeRule { truncating, exact };
CaptureFile open_capture(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                         ShapeRule rule);

// A routine's read of one whole capture into buffer (height * width samples),
// under open_capture's rule.
void read_capture_into(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                       ShapeRule rule, RawBuffer& buffer);

// The whole frame (height * width samples) of one capture.
Samples read_capture(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                     SizeRule rule = SizeRule::exact);
void read_capture_into(const std::string& path, const CaptureFormat& format, std::int64_t width, std::int64_t height,
                       RawBuffer& buffer, SizeRule rule = SizeRule::exact);

// Packs a height x width frame into the format and writes it atomically.
// Throws FormatError for dng (written by the DNG writer) and ShapeError for a
// sample the layout cannot hold, naming the value, its place and the limit.
void write_capture(const std::string& path, const CaptureFormat& format, const std::uint16_t* frame, std::int64_t width,
                   std::int64_t height);

}  // namespace tuning
