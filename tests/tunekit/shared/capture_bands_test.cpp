#include "shared/capture_bands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "shared/errors.h"

namespace fs = std::filesystem;
using tuning::CaptureFormat;
using tuning::SampleLayout;
using tuning::ShapeRule;

namespace {
void for_each_capture_band(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                           const tuning::BandVisitor& visit) {
  tuning::for_each_capture_band(files, CaptureFormat{}, height, width, ShapeRule::exact, visit);
}
}  // namespace

namespace {

// Frames whose sample at (y, x) is 1000 * capture + y, written into a fresh folder.
class Captures {
 public:
  Captures(int count, std::int64_t height, std::int64_t width) {
    dir_ = fs::temp_directory_path() / ("capture_bands_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    for (int c = 0; c < count; ++c) {
      std::vector<std::uint16_t> samples;
      for (std::int64_t y = 0; y < height; ++y)
        samples.insert(samples.end(), width, static_cast<std::uint16_t>(1000 * c + y));
      paths.push_back((dir_ / ("c" + std::to_string(c) + ".raw")).string());
      std::ofstream(paths.back(), std::ios::binary)
          .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
    }
  }
  ~Captures() { fs::remove_all(dir_); }
  std::vector<std::string> paths;

 private:
  fs::path dir_;
};

}  // namespace

TEST(CaptureBands, VisitsEveryRowOfEveryCaptureOnceInOrder) {
  // 10000-sample rows make bands of 52 rows: 52, 52 and a short 16.
  const Captures captures(3, 120, 10000);
  std::vector<std::int64_t> band_rows;
  std::vector<std::int64_t> seen_rows;
  for_each_capture_band(captures.paths, 120, 10000,
                        [&](const std::uint16_t* band, std::int64_t first, std::int64_t count) {
                          band_rows.push_back(count);
                          for (std::int64_t r = 0; r < count; ++r) {
                            EXPECT_EQ(band[r * 10000], band[r * 10000 + 9999]);
                            seen_rows.push_back(band[r * 10000]);
                            EXPECT_EQ(band[r * 10000] % 1000, first + r);
                          }
                        });
  EXPECT_EQ(band_rows, (std::vector<std::int64_t>{52, 52, 16, 52, 52, 16, 52, 52, 16}));
  ASSERT_EQ(seen_rows.size(), 360u);
  for (std::size_t i = 0; i < seen_rows.size(); ++i) EXPECT_EQ(seen_rows[i], 1000 * (i / 120) + i % 120);
}

TEST(CaptureBands, StopsAtTheFirstCaptureOfTheWrongSizeAfterTheGoodOnes) {
  Captures captures(2, 120, 10000);
  fs::resize_file(captures.paths[1], 120 * 10000 * 2 - 2);
  std::int64_t rows = 0;
  try {
    for_each_capture_band(captures.paths, 120, 10000,
                          [&](const std::uint16_t*, std::int64_t, std::int64_t count) { rows += count; });
    FAIL() << "a capture one sample short was accepted";
  } catch (const tuning::CaptureSizeError& e) {
    EXPECT_EQ(e.path(), captures.paths[1]);
    EXPECT_EQ(e.found(), 120u * 10000 * 2 - 2);
  }
  EXPECT_EQ(rows, 120);  // the whole first capture, nothing of the second
}

TEST(CaptureBands, AFailingVisitorStopsTheReaderAndIsRethrown) {
  const Captures captures(3, 120, 10000);
  int calls = 0;
  EXPECT_THROW(for_each_capture_band(captures.paths, 120, 10000,
                                     [&](const std::uint16_t*, std::int64_t, std::int64_t) {
                                       if (++calls == 2) throw std::runtime_error("visitor gave up");
                                     }),
               std::runtime_error);
  EXPECT_EQ(calls, 2);
  EXPECT_THROW(for_each_capture_band({captures.paths[0] + ".missing"}, 120, 10000,
                                     [](const std::uint16_t*, std::int64_t, std::int64_t) {}),
               fs::filesystem_error);
}

TEST(CaptureBands, PackedCapturesArriveUnpackedInTheSameBands) {
  const Captures plain(2, 120, 10000);
  const CaptureFormat packed{SampleLayout::raw12p, 15008, 32};  // padded rows after a header
  std::vector<std::string> packed_paths;
  for (const auto& path : plain.paths) {
    const tuning::Samples frame = tuning::read_capture(path, CaptureFormat{}, 10000, 120);
    packed_paths.push_back(path + ".p12");
    tuning::write_capture(packed_paths.back(), packed, frame.data(), 10000, 120);
  }
  std::vector<std::uint16_t> expected, got;
  for_each_capture_band(plain.paths, 120, 10000, [&](const std::uint16_t* band, std::int64_t, std::int64_t count) {
    expected.insert(expected.end(), band, band + count * 10000);
  });
  tuning::for_each_capture_band(packed_paths, packed, 120, 10000, ShapeRule::exact,
                                [&](const std::uint16_t* band, std::int64_t, std::int64_t count) {
                                  got.insert(got.end(), band, band + count * 10000);
                                });
  EXPECT_EQ(got, expected);
}
