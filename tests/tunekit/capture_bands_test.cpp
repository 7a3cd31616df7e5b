#include "blc/capture_bands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "shared/errors.h"

namespace fs = std::filesystem;
using tuning::blc::for_each_capture_band;

namespace {

// Frames whose sample at (y, x) is 1000 * capture + y, written into a fresh folder.
class Captures {
 public:
  Captures(int count, std::int64_t height, std::int64_t width) {
    dir_ = fs::temp_directory_path() / ("capture_bands_test_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    for (int c = 0; c < count; ++c) {
      std::vector<std::uint16_t> samples;
      for (std::int64_t y = 0; y < height; ++y) samples.insert(samples.end(), width, static_cast<std::uint16_t>(1000 * c + y));
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
  // 1000-sample rows make bands of 131 rows: 131, 131 and a short 38.
  const Captures captures(3, 300, 1000);
  std::vector<std::int64_t> seen_rows;
  for_each_capture_band(captures.paths, 300, 1000, [&](const std::uint16_t* band, std::int64_t first, std::int64_t count) {
    for (std::int64_t r = 0; r < count; ++r) {
      EXPECT_EQ(band[r * 1000], band[r * 1000 + 999]);
      seen_rows.push_back(band[r * 1000]);
      EXPECT_EQ(band[r * 1000] % 1000, first + r);
    }
  });
  ASSERT_EQ(seen_rows.size(), 900u);
  for (std::size_t i = 0; i < seen_rows.size(); ++i) EXPECT_EQ(seen_rows[i], 1000 * (i / 300) + i % 300);
}

TEST(CaptureBands, StopsAtTheFirstCaptureOfTheWrongSizeAfterTheGoodOnes) {
  Captures captures(2, 300, 1000);
  fs::resize_file(captures.paths[1], 300 * 1000 * 2 - 2);
  std::int64_t rows = 0;
  try {
    for_each_capture_band(captures.paths, 300, 1000,
                          [&](const std::uint16_t*, std::int64_t, std::int64_t count) { rows += count; });
    FAIL() << "a capture one sample short was accepted";
  } catch (const tuning::ShapeError& e) {
    EXPECT_NE(std::string(e.what()).find("c1.raw' holds 299999 samples"), std::string::npos) << e.what();
  }
  EXPECT_EQ(rows, 300);  // the whole first capture, nothing of the second
}

TEST(CaptureBands, AFailingVisitorStopsTheReaderAndIsRethrown) {
  const Captures captures(3, 300, 1000);
  int calls = 0;
  EXPECT_THROW(for_each_capture_band(captures.paths, 300, 1000,
                                     [&](const std::uint16_t*, std::int64_t, std::int64_t) {
                                       if (++calls == 2) throw std::runtime_error("visitor gave up");
                                     }),
               std::runtime_error);
  EXPECT_EQ(calls, 2);
  EXPECT_THROW(for_each_capture_band({captures.paths[0] + ".missing"}, 300, 1000,
                                     [](const std::uint16_t*, std::int64_t, std::int64_t) {}),
               fs::filesystem_error);
}
