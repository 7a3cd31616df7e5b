// Reading and unpacking packed captures (and 16-bit DNG) against reading the
// raw16 files of the same pixels: 4 gains x 4 captures of 4096 x 3072 by default, whole
// frames and in bands, in one run. Usage: DIR [CAPTURES_PER_GAIN]; run with 1
// and with 4 captures to see that peak memory does not grow with them.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "capture_files.h"
#include "shared/capture_bands.h"
#include "shared/capture_reader.h"
#include "shared/dng_file.h"

namespace {

using tuning::CaptureFormat;
using tuning::SampleLayout;

constexpr int kWidth = 4096;
constexpr int kHeight = 3072;

// The raw16 set written by the shared helper, and the same pixels in format.
std::vector<std::string> packed_copy(const std::vector<std::string>& raw16, const std::string& dir,
                                     const CaptureFormat& format) {
  std::filesystem::create_directories(dir);
  std::vector<std::string> out;
  for (const auto& path : raw16) {
    const std::string copy =
        dir + "/" + std::filesystem::path(path).stem().string() + (format.is_dng() ? ".dng" : ".raw");
    out.push_back(copy);
    std::error_code ec;
    if (format.is_dng() ? std::filesystem::exists(copy, ec)
                        : std::filesystem::file_size(copy, ec) == tuning::capture_file_bytes(format, kWidth, kHeight))
      continue;
    const tuning::Samples frame = tuning::read_capture(path, CaptureFormat{}, kWidth, kHeight);
    if (format.is_dng()) {
      tuning::DngWriteInfo info;
      info.bits = 10;
      info.white_level = 1023;
      tuning::write_dng(copy, frame.data(), kWidth, kHeight, info);
    } else {
      tuning::write_capture(copy, format, frame.data(), kWidth, kHeight);
    }
  }
  return out;
}

// Every capture whole into one reused buffer, through the layer.
double layer_read(const std::vector<std::string>& files, const CaptureFormat& format) {
  tuning::RawBuffer buffer;
  return bench::best_seconds(3, [&] {
    for (const auto& f : files) tuning::read_capture_into(f, format, kWidth, kHeight, buffer);
  });
}

// Every capture in bands through the band reader, touching each band.
double band_read(const std::vector<std::string>& files, const CaptureFormat& format) {
  std::uint64_t total = 0;
  const double seconds = bench::best_seconds(3, [&] {
    tuning::for_each_capture_band(files, format, kHeight, kWidth, tuning::ShapeRule::exact,
                                  [&](const std::uint16_t* band, std::int64_t, std::int64_t rows) {
                                    total += band[0] + band[rows * kWidth - 1];
                                  });
  });
  if (total == 0) std::fprintf(stderr, "bands held only zeros\n");
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp/tunekit-bench/layouts";
  bench::CaptureSetShape shape;
  shape.exposures = {10};
  shape.captures_per_condition = argc > 2 ? std::atoi(argv[2]) : 4;
  shape.height = kHeight;
  shape.width = kWidth;
  // 10-bit values, so every layout holds the same pixels.
  const auto raw16 = bench::ensure_capture_set(dir + "/raw16", shape, [](int g, int, int c, std::size_t i) {
    std::uint32_t x = static_cast<std::uint32_t>(i * 2654435761u) ^ static_cast<std::uint32_t>(g * 7919 + c * 1299709);
    x ^= x >> 15;
    return static_cast<std::uint16_t>(x & 1023);
  });
  const CaptureFormat raw10p{SampleLayout::raw10p};
  const CaptureFormat raw12p{SampleLayout::raw12p};
  const auto p10 = packed_copy(raw16, dir + "/raw10p", raw10p);
  const auto p12 = packed_copy(raw16, dir + "/raw12p", raw12p);
  const CaptureFormat dng{SampleLayout::dng};
  const auto dngs = packed_copy(raw16, dir + "/dng", dng);
  std::printf("%zu captures of %d x %d per layout\n", raw16.size(), kWidth, kHeight);

  const double read = bench::plain_read_seconds(raw16);
  bench::report("plain read of the raw16 files", read, read);
  bench::report("layer read, raw16", layer_read(raw16, CaptureFormat{}), read);
  bench::report("layer read + unpack, raw10p", layer_read(p10, raw10p), read);
  bench::report("layer read + unpack, raw12p", layer_read(p12, raw12p), read);
  bench::report("band reader, raw16", band_read(raw16, CaptureFormat{}), read);
  bench::report("band reader, raw10p", band_read(p10, raw10p), read);
  bench::report("band reader, raw12p", band_read(p12, raw12p), read);
  bench::report("layer read, 16-bit DNG", layer_read(dngs, dng), read);
  bench::report("band reader, 16-bit DNG", band_read(dngs, dng), read);
  return EXIT_SUCCESS;
}
