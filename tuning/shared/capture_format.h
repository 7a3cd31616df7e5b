// How a capture file lays out its samples: the sample layouts, the exact file
// size a frame of a layout has, and the row packers and unpackers.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "record_fields.h"

namespace tuning {

// raw16     headerless little-endian 16-bit samples (the default)
// raw16be   big-endian 16-bit samples
// raw16msb  little-endian 16-bit samples with the data in the top bits (value = sample >> shift)
// raw8      one byte per sample
// raw10p    4 pixels in 5 bytes: bytes 0-3 the 8 high bits of pixels 0-3, byte 4
//           their 2 low bits, pixel 0 in bits 1-0 ... pixel 3 in bits 7-6
// raw12p    2 pixels in 3 bytes: bytes 0-1 the 8 high bits, byte 2 pixel 0's low
//           nibble in bits 3-0 and pixel 1's in bits 7-4
// raw14p    4 pixels in 7 bytes: bytes 0-3 the 8 high bits, bytes 4-6 (read as one
//           little-endian 24-bit word) the four 6-bit low parts, pixel 0 lowest
// dng       an uncompressed CFA DNG file; its size is not fixed by the frame
// A packed row whose width is no multiple of the group ends in a whole group,
// the missing pixels written as zero.
enum class SampleLayout { raw16, raw16be, raw16msb, raw8, raw10p, raw12p, raw14p, dng };

inline constexpr SampleLayout kSampleLayouts[] = {SampleLayout::raw16,  SampleLayout::raw16be, SampleLayout::raw16msb,
                                                  SampleLayout::raw8,   SampleLayout::raw10p,  SampleLayout::raw12p,
                                                  SampleLayout::raw14p, SampleLayout::dng};

std::string_view sample_layout_name(SampleLayout layout);
std::optional<SampleLayout> sample_layout_from_name(std::string_view name);

// Significant bits a layout stores per sample (16 for the 16-bit layouts and dng).
int sample_layout_bits(SampleLayout layout);

// A capture format that does not make sense (negative stride, a stride shorter
// than a row, a shift outside 0..15 or on a layout other than raw16msb).
class FormatError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct CaptureFormat {
  SampleLayout layout = SampleLayout::raw16;
  std::int64_t stride = 0;  // bytes per row including padding; 0 = rows packed tight
  std::int64_t header = 0;  // bytes skipped at the start of the file
  int shift = 0;            // right shift of each sample (raw16msb)

  bool is_dng() const { return layout == SampleLayout::dng; }
  // The format as the user wrote it: "raw10p", "raw10p stride 1280 header 64".
  std::string text() const;
};

constexpr auto record_fields_of(RecordTag<CaptureFormat>) {
  return record<CaptureFormat>(
      "CaptureFormat", "How the capture files of a set store their frames; the default reads today's raw16 files.",
      field("layout", &CaptureFormat::layout, "sample layout of the capture files"),
      field("stride", &CaptureFormat::stride, "bytes per row including padding, in bytes; 0 = rows packed tight")
          .at_least(0),
      field("header", &CaptureFormat::header, "bytes skipped at the start of each file, in bytes").at_least(0),
      field("shift", &CaptureFormat::shift, "right shift of each sample, in bits (raw16msb)").within(0, 15));
}

// Throws FormatError unless the format can describe a frame of that width.
void check_format(const CaptureFormat& format, std::int64_t width);

// Bytes one row of width pixels occupies without padding.
std::uint64_t packed_row_bytes(SampleLayout layout, std::int64_t width);

// Bytes from one row's start to the next (stride, or the packed row size).
std::uint64_t row_stride_bytes(const CaptureFormat& format, std::int64_t width);

// Exact size in bytes of a capture file of this format; FormatError for dng.
std::uint64_t capture_file_bytes(const CaptureFormat& format, std::int64_t width, std::int64_t height);

// One row of packed bytes (packed_row_bytes of them) to width samples.
void unpack_row(const CaptureFormat& format, const std::uint8_t* src, std::uint16_t* dst, std::int64_t width);

// The largest value a sample may take to be stored exactly in this format.
std::uint32_t largest_storable_sample(const CaptureFormat& format);

// width samples to one row of packed bytes (packed_row_bytes); the caller
// checks the values fit (largest_storable_sample).
void pack_row(const CaptureFormat& format, const std::uint16_t* src, std::uint8_t* dst, std::int64_t width);

}  // namespace tuning
