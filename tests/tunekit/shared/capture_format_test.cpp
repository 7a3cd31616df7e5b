#include "shared/capture_format.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace tuning;

namespace {

CaptureFormat of(SampleLayout layout, std::int64_t stride = 0, std::int64_t header = 0, int shift = 0) {
  return CaptureFormat{layout, stride, header, shift};
}

std::vector<std::uint16_t> unpacked(SampleLayout layout, const std::vector<std::uint8_t>& bytes, std::int64_t width) {
  std::vector<std::uint16_t> out(static_cast<std::size_t>(width));
  unpack_row(of(layout), bytes.data(), out.data(), width);
  return out;
}

// Bit-serial reference: pixel i's high byte sits at group byte i; its low bits at
// bit position low_bits * i of the little-endian word after the high bytes.
std::vector<std::uint8_t> reference_pack(const std::vector<std::uint16_t>& px, int bits, int group) {
  const int low_bits = bits - 8;
  std::vector<std::uint8_t> out;
  for (std::size_t g = 0; g < px.size(); g += group) {
    std::uint64_t low = 0;
    for (int i = 0; i < group; ++i) {
      const std::uint16_t v = g + i < px.size() ? px[g + i] : 0;
      out.push_back(static_cast<std::uint8_t>(v >> low_bits));
      low |= static_cast<std::uint64_t>(v & ((1u << low_bits) - 1)) << (low_bits * i);
    }
    for (int b = 0; b < group * low_bits / 8; ++b) out.push_back(static_cast<std::uint8_t>(low >> (8 * b)));
  }
  return out;
}

}  // namespace

TEST(SampleLayouts, DocumentedByteExamples) {
  EXPECT_EQ(unpacked(SampleLayout::raw10p, {0x01, 0x02, 0x03, 0x04, 0b11100100}, 4),
            (std::vector<std::uint16_t>{4, 9, 14, 19}));
  EXPECT_EQ(unpacked(SampleLayout::raw12p, {0xAB, 0xCD, 0x21}, 2), (std::vector<std::uint16_t>{0xAB1, 0xCD2}));
  const std::uint32_t low = 5 | 6 << 6 | 7 << 12 | 8 << 18;
  EXPECT_EQ(unpacked(SampleLayout::raw14p,
                     {1, 2, 3, 4, static_cast<std::uint8_t>(low), static_cast<std::uint8_t>(low >> 8),
                      static_cast<std::uint8_t>(low >> 16)},
                     4),
            (std::vector<std::uint16_t>{1 << 6 | 5, 2 << 6 | 6, 3 << 6 | 7, 4 << 6 | 8}));
  EXPECT_EQ(unpacked(SampleLayout::raw16be, {0x12, 0x34}, 1), (std::vector<std::uint16_t>{0x1234}));
  EXPECT_EQ(unpacked(SampleLayout::raw16, {0x12, 0x34}, 1), (std::vector<std::uint16_t>{0x3412}));
  std::uint16_t v = 0;
  const std::uint8_t msb[] = {0xC0, 0xFF};
  unpack_row(of(SampleLayout::raw16msb, 0, 0, 6), msb, &v, 1);
  EXPECT_EQ(v, 0x3FF);
}

TEST(SampleLayouts, PackedLayoutsMatchAReferencePackerAtEveryWidth) {
  std::mt19937 rng(7);
  for (auto [layout, bits, group] : {std::tuple{SampleLayout::raw10p, 10, 4}, std::tuple{SampleLayout::raw12p, 12, 2},
                                     std::tuple{SampleLayout::raw14p, 14, 4}}) {
    for (std::int64_t width = 1; width <= 40; ++width) {  // past several 8-pixel steps
      std::vector<std::uint16_t> px(static_cast<std::size_t>(width));
      for (auto& p : px) p = static_cast<std::uint16_t>(rng() & ((1u << bits) - 1));
      const auto expected = reference_pack(px, bits, group);
      ASSERT_EQ(packed_row_bytes(layout, width), expected.size()) << bits << " bits, width " << width;
      std::vector<std::uint8_t> packed(expected.size(), 0xEE);
      pack_row(of(layout), px.data(), packed.data(), width);
      EXPECT_EQ(packed, expected) << bits << " bits, width " << width;
      EXPECT_EQ(unpacked(layout, expected, width), px) << bits << " bits, width " << width;
    }
  }
}

TEST(SampleLayouts, FileSizesCountHeaderStrideAndWholeGroups) {
  EXPECT_EQ(capture_file_bytes(of(SampleLayout::raw16), 6, 4), 48u);
  EXPECT_EQ(capture_file_bytes(of(SampleLayout::raw8), 6, 4), 24u);
  EXPECT_EQ(capture_file_bytes(of(SampleLayout::raw10p), 6, 4), 4u * 10);  // 2 groups of 5 bytes per row
  EXPECT_EQ(capture_file_bytes(of(SampleLayout::raw12p), 5, 2), 2u * 9);
  EXPECT_EQ(capture_file_bytes(of(SampleLayout::raw14p, 16, 100), 5, 3), 100u + 3 * 16);
  EXPECT_THROW(capture_file_bytes(of(SampleLayout::raw14p, 13), 5, 3), FormatError);  // row is 14 bytes
  EXPECT_THROW(capture_file_bytes(of(SampleLayout::dng), 5, 3), FormatError);
  EXPECT_THROW(check_format(of(SampleLayout::raw16, 0, 0, 3), 4), FormatError);
  EXPECT_THROW(check_format(of(SampleLayout::raw16msb, 0, 0, 16), 4), FormatError);
  EXPECT_THROW(check_format(of(SampleLayout::raw16, 0, -1), 4), FormatError);
  EXPECT_EQ(largest_storable_sample(of(SampleLayout::raw16msb, 0, 0, 4)), 0x0FFFu);
  EXPECT_EQ(largest_storable_sample(of(SampleLayout::raw10p)), 1023u);
  for (auto layout : kSampleLayouts) EXPECT_EQ(sample_layout_from_name(sample_layout_name(layout)), layout);
  EXPECT_FALSE(sample_layout_from_name("raw10"));
}
