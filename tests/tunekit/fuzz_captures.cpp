// libFuzzer entry for the capture readers: the input is written to a file
// the way a capture arrives, read back through each reader, and shaped as
// the routines shape frames. Each reader checked here is one case of
// `check_reader`; a new reader joins by adding its own.
//
// Input layout: two bytes give the frame width and height (in pairs of
// pixels, 1 to 16), the rest is the file's content.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::int64_t width = 2 * (1 + data[0] % 16), height = 2 * (1 + data[1] % 16);
  write_capture(data + 2, size - 2);
  check_reader(data + 2, size - 2, height, width);
  return 0;
}
