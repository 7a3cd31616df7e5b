#include "shared/dng_file.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "test_files.h"

using namespace tuning;
using tunekit_test::ScratchDir;

namespace {

std::vector<std::uint16_t> ramp(std::size_t n, int bits) {
  std::vector<std::uint16_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint16_t>((i * 2654435761u >> 7) & ((1u << bits) - 1));
  return v;
}

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void save(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Offset of the 12-byte IFD 0 entry of tag in a little-endian TIFF.
std::size_t entry_of(const std::string& file, std::uint16_t tag) {
  auto u16 = [&](std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(file[at]) | static_cast<std::uint8_t>(file[at + 1])
                                                                                << 8);
  };
  std::uint32_t ifd;
  std::memcpy(&ifd, file.data() + 4, 4);
  for (std::size_t i = 0; i < u16(ifd); ++i)
    if (u16(ifd + 2 + 12 * i) == tag) return ifd + 2 + 12 * i;
  ADD_FAILURE() << "no tag " << tag;
  return 0;
}

void patch16(std::string& file, std::size_t at, std::uint16_t v) {
  file[at] = static_cast<char>(v);
  file[at + 1] = static_cast<char>(v >> 8);
}

std::string error_of(const std::string& path) {
  try {
    read_dng(path);
  } catch (const DngError& e) {
    return e.what();
  }
  return "read";
}

}  // namespace

TEST(DngFile, EveryStoredDepthInStripsAndTilesReadsBack) {
  ScratchDir dir;
  const std::int64_t w = 37, h = 21;  // partial tiles and odd row bit counts
  for (int stored : {8, 10, 12, 14, 16})
    for (int tile : {0, 16}) {
      DngWriteInfo info;
      info.bits = std::min(stored, 14);
      info.white_level = (1u << info.bits) - 1;
      info.stored_bits = stored;
      info.tile_size = tile;
      const auto frame = ramp(w * h, info.bits);
      const std::string path = dir.file("c.dng");
      write_dng(path, frame.data(), w, h, info);
      const DngFrame got = read_dng(path);
      EXPECT_EQ(got.samples, frame) << stored << " bits, tile " << tile;
      EXPECT_EQ(got.info.bits, stored);
      EXPECT_EQ(got.info.width, w);
    }
}

TEST(DngFile, PackedSamplesAreStoredMostSignificantBitFirst) {
  ScratchDir dir;
  const std::vector<std::uint16_t> frame = {0x3FF, 0x001, 0x155, 0x2AA};  // 2 x 2 at 10 bits
  DngWriteInfo info;
  info.bits = 10;
  info.white_level = 1023;
  info.stored_bits = 10;
  write_dng(dir.file("c.dng"), frame.data(), 2, 2, info);
  const std::string file = bytes_of(dir.file("c.dng"));
  // Each 20-bit row is padded to 3 bytes: 1111111111 0000000001 0000.
  EXPECT_EQ(file.substr(8, 6), std::string("\xFF\xC0\x10\x55\x6A\xA0", 6));
}

TEST(DngFile, MetadataAndExtraTagsRoundTrip) {
  ScratchDir dir;
  const auto frame = ramp(8 * 6, 12);
  DngWriteInfo info;
  info.cfa_type = CFAType::GBRG;
  info.bits = 12;
  info.black_level = {64, 64.25, 63.5, 64};
  info.white_level = 4000;
  info.exposure_time = 1.0 / 30;
  info.iso = 400;
  info.analog_gain = 2.5;
  info.extra_tags.push_back(DngTag::doubles(51041, {1e-5, 2e-6}));  // NoiseProfile
  const std::string path = dir.file("c.dng");
  std::vector<std::uint16_t> clipped = frame;
  for (auto& v : clipped) v = std::min<std::uint16_t>(v, 4000);
  write_dng(path, clipped.data(), 8, 6, info);
  const DngFrame got = read_dng(path);
  EXPECT_EQ(got.info.cfa_type, CFAType::GBRG);
  EXPECT_EQ(got.info.black_level, (std::vector<double>{64, 64.25, 63.5, 64}));
  EXPECT_EQ(got.info.black_level_repeat_dim, (std::array<int, 2>{2, 2}));
  EXPECT_EQ(got.info.white_level, 4000u);
  EXPECT_DOUBLE_EQ(*got.info.exposure_time, 1.0 / 30);
  EXPECT_EQ(*got.info.iso, 400);
  EXPECT_EQ(*got.info.analog_gain, 2.5);
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  std::uint32_t count = 0;
  const double* noise = nullptr;
  ASSERT_EQ(TIFFGetField(tiff, 51041, &count, &noise), 1);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(noise[0], 1e-5);
  TIFFClose(tiff);
  info.extra_tags.push_back(DngTag::doubles(50717, {1}));  // WhiteLevel again
  EXPECT_THROW(write_dng(path, clipped.data(), 8, 6, info), ShapeError);
  info.extra_tags.clear();
  clipped[5] = 4096;
  EXPECT_THROW(write_dng(path, clipped.data(), 8, 6, info), ShapeError);
}

TEST(DngFile, UnusableFilesAreRefusedNamingFileAndTag) {
  ScratchDir dir;
  const auto frame = ramp(4 * 4, 16);
  const std::string good = dir.file("good.dng");
  write_dng(good, frame.data(), 4, 4, DngWriteInfo{});
  const std::string original = bytes_of(good);
  const std::string path = dir.file("bad.dng");
  auto variant = [&](std::uint16_t tag, std::uint16_t new_tag, std::uint16_t new_value, bool value) {
    std::string file = original;
    const std::size_t at = entry_of(file, tag);
    if (value)
      patch16(file, at + 8, new_value);
    else
      patch16(file, at, new_tag);
    save(path, file);
    return error_of(path);
  };
  EXPECT_EQ(variant(259, 0, 7, true),
            path + ": compressed DNG (Compression 7) is not supported; only uncompressed DNG can be read");
  EXPECT_NE(variant(262, 0, 34892, true).find("non-CFA DNG (PhotometricInterpretation 34892)"), std::string::npos);
  EXPECT_EQ(variant(33422, 33423, 0, false), path + ": the raw image has no CFAPattern tag");
  EXPECT_EQ(variant(50706, 50705, 0, false), path + ": a TIFF without the DNGVersion tag is not a DNG");
  // The strip runs past the end of the file.
  const auto strip_past_end = static_cast<std::uint16_t>(original.size() - 10);
  EXPECT_EQ(variant(273, 0, strip_past_end, true).rfind(path + ": strip 0 runs past the end of the file", 0), 0u)
      << error_of(path);
  save(path, std::string(100, '\0'));
  EXPECT_NE(error_of(path).find("not a TIFF file"), std::string::npos);
}
