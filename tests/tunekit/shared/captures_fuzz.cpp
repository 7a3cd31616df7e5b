// libFuzzer entry for the capture readers: the input is written to a file
// the way a capture arrives, read back through each reader, and shaped as
// the routines shape frames: the plain raw16 reader (`check_reader`), and the
// capture layer in every sample layout and as DNG (`check_layer`).
//
// Input layout: two bytes give the frame width and height (in pairs of
// pixels, 1 to 16), a third the layout, stride padding and header of the
// capture format, the rest is the file's content.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>

#include "shared/capture_format.h"
#include "shared/capture_reader.h"
#include "shared/dng_file.h"
#include "shared/errors.h"
#include "shared/raw_capture.h"

namespace {

void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "capture readers: %s\n", what);
    std::abort();
  }
}

void remove_capture();

// One file per process, rewritten for every input, removed at exit.
const std::string& capture_path() {
  static const std::string path = [] {
    char name[] = "/tmp/fuzz-capture-XXXXXX.raw";
    const int fd = mkstemps(name, 4);
    require(fd >= 0, "cannot create the capture file");
    close(fd);
    std::atexit(remove_capture);
    return std::string(name);
  }();
  return path;
}

void remove_capture() { unlink(capture_path().c_str()); }

void write_capture(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(capture_path().c_str(), "wb");
  require(file != nullptr, "cannot open the capture file");
  require(std::fwrite(data, 1, size, file) == size && std::fclose(file) == 0, "cannot write the capture file");
}

// What every reader must agree on: the samples are the file's bytes, little-endian, an odd last
// byte left out, and shaping either succeeds on enough samples or throws the routines' own errors.
void check_reader(const std::uint8_t* data, std::size_t size, std::int64_t height, std::int64_t width) {
  const tuning::Samples samples = tuning::read_raw_u16(capture_path());
  require(samples.size() == size / 2, "read_raw_u16 returns a sample count other than size / 2");
  require(tuning::raw_sample_count(capture_path()) == samples.size(), "raw_sample_count disagrees");
  for (std::size_t i = 0; i < samples.size(); ++i) {
    require(samples[i] == std::uint16_t(data[2 * i] | (data[2 * i + 1] << 8)), "a sample is not little-endian");
  }
  tuning::RawBuffer buffer;
  tuning::read_raw_u16_into(capture_path(), buffer);
  require(buffer.size() == samples.size() &&
              (samples.empty() || std::memcmp(buffer.data(), samples.data(), samples.size() * 2) == 0),
          "read_raw_u16_into disagrees with read_raw_u16");

  const std::size_t frame = std::size_t(height) * std::size_t(width);
  try {
    tuning::require_truncating_shape(samples, height, width);
    require(samples.size() >= frame, "a short capture passes the truncating shape check");
    const tuning::CellSums sums = tuning::cell_position_sums(samples.data(), height, width);
    const tuning::Samples cells = tuning::split_bayer4(samples.data(), height, width);
    std::uint64_t split_total = 0, sum_total = 0;
    for (std::uint16_t v : cells) split_total += v;
    for (std::uint64_t s : sums) sum_total += s;
    require(cells.size() == frame && split_total == sum_total, "the cell split loses or adds samples");
  } catch (const tuning::CalibrationError&) {
    require(samples.size() < frame, "a long enough capture fails the truncating shape check");
  }
  try {
    tuning::require_exact_shape(samples, height, width);
    require(samples.size() == frame, "a capture of the wrong size passes the exact shape check");
  } catch (const tuning::CalibrationError&) {
    require(samples.size() != frame, "a capture of the right size fails the exact shape check");
  }
}

// The capture layer: a file is read exactly when its size is the format's size, and whatever
// the bytes (a DNG's tags included), a refusal is one of the layer's own errors, never a crash.
void check_layer(std::uint8_t choice, std::size_t size, std::int64_t height, std::int64_t width) {
  constexpr std::size_t kLayouts = std::size(tuning::kSampleLayouts);
  tuning::CaptureFormat format;
  format.layout = tuning::kSampleLayouts[choice % kLayouts];
  if (format.layout == tuning::SampleLayout::dng) {
    try {
      const tuning::DngFrame frame = tuning::read_dng(capture_path());
      require(frame.samples.size() == std::size_t(frame.info.width) * std::size_t(frame.info.height),
              "read_dng returns a sample count other than width x height");
    } catch (const std::exception&) {
    }
    return;
  }
  const std::int64_t padding = (choice / kLayouts) % 4;
  if (padding != 0) format.stride = std::int64_t(tuning::packed_row_bytes(format.layout, width)) + padding;
  format.header = (choice / kLayouts / 4) % 2 == 0 ? 0 : 7;
  if (format.layout == tuning::SampleLayout::raw16msb) format.shift = (choice / kLayouts / 8) % 9;
  const std::uint64_t expected = tuning::capture_file_bytes(format, width, height);
  try {
    const tuning::Samples samples = tuning::read_capture(capture_path(), format, width, height);
    require(size == expected, "a capture of another size than its format's is read");
    require(samples.size() == std::size_t(height * width), "the layer returns a sample count other than the frame");
  } catch (const tuning::CaptureSizeError&) {
    require(size != expected, "a capture of its format's size is refused");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::int64_t width = 2 * (1 + data[0] % 16), height = 2 * (1 + data[1] % 16);
  write_capture(data + 3, size - 3);
  check_reader(data + 3, size - 3, height, width);
  check_layer(data[2], size - 3, height, width);
  return 0;
}
