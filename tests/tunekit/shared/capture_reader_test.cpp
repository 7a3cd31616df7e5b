#include "shared/capture_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <numeric>

#include "shared/dng_file.h"
#include "test_files.h"

using namespace tuning;
using tunekit_test::ScratchDir;

namespace {

std::vector<std::uint16_t> ramp(std::size_t n, std::uint16_t mask) {
  std::vector<std::uint16_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint16_t>((i * 37 + 11) & mask);
  return v;
}

void resize_file(const std::string& path, std::uint64_t size) { ASSERT_EQ(::truncate(path.c_str(), size), 0); }

}  // namespace

TEST(CaptureReader, EveryLayoutReadsBackWhatWasWrittenWholeAndInBands) {
  ScratchDir dir;
  const std::int64_t w = 11, h = 7;
  for (auto layout : kSampleLayouts) {
    if (layout == SampleLayout::dng) continue;
    const CaptureFormat format{layout, layout == SampleLayout::raw8 ? 0 : 40, 13,
                               layout == SampleLayout::raw16msb ? 2 : 0};
    const auto frame = ramp(w * h, static_cast<std::uint16_t>(largest_storable_sample(format)));
    const std::string path = dir.file(std::string(sample_layout_name(layout)) + ".raw");
    write_capture(path, format, frame.data(), w, h);
    EXPECT_EQ(read_capture(path, format, w, h), frame) << format.text();
    CaptureFile file(path, format, w, h);
    std::vector<std::uint16_t> band(3 * w);
    file.read_rows(4, 3, band.data());
    EXPECT_TRUE(std::equal(band.begin(), band.end(), frame.begin() + 4 * w)) << format.text();
    EXPECT_THROW(file.read_rows(5, 3, band.data()), std::out_of_range);
    // Spans that start and end inside rows, as the averaged frames read them.
    for (auto [first, count] : {std::pair<std::uint64_t, std::size_t>{0, 1}, {5, 9}, {10, 12}, {w * h - 3, 3}}) {
      std::vector<std::uint16_t> span(count);
      file.read_samples(first, count, span.data());
      EXPECT_TRUE(std::equal(span.begin(), span.end(), frame.begin() + static_cast<std::ptrdiff_t>(first)))
          << format.text() << " samples " << first << "+" << count;
    }
  }
}

TEST(CaptureReader, SizeRulesNameTheFileTheExpectedAndTheFoundSize) {
  ScratchDir dir;
  const CaptureFormat packed{SampleLayout::raw12p, 0, 8};
  const std::string path = dir.file("c.raw");
  const auto frame = ramp(4 * 3, 0xFFF);
  write_capture(path, packed, frame.data(), 4, 3);
  const std::uint64_t exact = 8 + 3 * 6;
  for (std::uint64_t size : {exact - 1, exact + 1}) {
    resize_file(path, size);
    try {
      CaptureFile(path, packed, 4, 3);
      FAIL() << "accepted " << size << " bytes";
    } catch (const CaptureSizeError& e) {
      EXPECT_EQ(e.expected(), exact);
      EXPECT_EQ(e.found(), size);
      EXPECT_EQ(std::string(e.what()), path + ": a raw12p header 8 capture of 4 x 3 must hold " +
                                           std::to_string(exact) + " bytes, found " + std::to_string(size));
    }
  }
  // The lenient rule of today's raw16 sets takes longer files and reads only the frame.
  const CaptureFormat raw16{};
  write_capture(path, raw16, frame.data(), 4, 3);
  resize_file(path, std::uint64_t{1} << 40);  // sparse: reading it whole would never end
  EXPECT_EQ(read_capture(path, raw16, 4, 3, SizeRule::at_least), frame);
  EXPECT_THROW(read_capture(path, raw16, 4, 3), CaptureSizeError);
  resize_file(path, 4 * 3 * 2 - 1);
  EXPECT_THROW(CaptureFile(path, raw16, 4, 3, SizeRule::at_least), CaptureSizeError);  // refused before any read
}

TEST(CaptureReader, StridePaddingAfterTheLastRowIsNotRead) {
  ScratchDir dir;
  const CaptureFormat format{SampleLayout::raw10p, 64, 0};
  const auto frame = ramp(8 * 2, 0x3FF);
  const std::string path = dir.file("c.raw");
  write_capture(path, format, frame.data(), 8, 2);
  CaptureFile file(path, format, 8, 2, SizeRule::at_least);
  resize_file(path, 64 + 10);  // the last row's padding is gone after opening
  std::vector<std::uint16_t> got(16);
  file.read_frame(got.data());
  EXPECT_EQ(got, frame);
}

TEST(CaptureReader, FoldersAndFifosAreRefusedWithoutBlocking) {
  ScratchDir dir;
  const std::string fifo = dir.file("a_dark_LCG_exp_1_again_1_0.raw");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto opened = std::async(std::launch::async, [&] {
    try {
      CaptureFile(fifo, CaptureFormat{}, 2, 2);
    } catch (const NotRegularFileError& e) {
      return std::string(e.what());
    }
    return std::string("opened");
  });
  if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    std::ofstream unblock(fifo);  // lets the reader end before the test fails
    FAIL() << "opening a FIFO blocked";
  }
  EXPECT_NE(opened.get().find(fifo), std::string::npos);
  try {
    read_capture(dir.path(), CaptureFormat{SampleLayout::raw10p}, 4, 1);
    FAIL() << "read a folder";
  } catch (const std::filesystem::filesystem_error& e) {
    EXPECT_EQ(e.code().value(), EISDIR);
  }
  EXPECT_THROW(read_raw_u16(fifo), NotRegularFileError);
}

TEST(CaptureReader, DngCapturesReadThroughTheSameFile) {
  ScratchDir dir;
  const auto frame = ramp(6 * 4, 0xFFF);
  DngWriteInfo info;
  info.bits = 12;
  info.white_level = 4095;
  const std::string path = dir.file("c.dng");
  write_dng(path, frame.data(), 6, 4, info);
  const CaptureFormat dng{SampleLayout::dng};
  EXPECT_EQ(read_capture(path, dng, 6, 4), frame);
  try {
    read_capture(path, dng, 4, 6);
    FAIL() << "read a 6 x 4 DNG as 4 x 6";
  } catch (const CaptureSizeError& e) {  // so each routine reports it as its wrong-size capture
    EXPECT_EQ(std::string(e.what()), path + ": the DNG frame is 6 x 4, expected 4 x 6");
  }
}
