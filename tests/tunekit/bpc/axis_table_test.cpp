#include <gtest/gtest.h>

#include "bpc/axis_table.h"
#include "shared/errors.h"

namespace {

using tuning::bpc::encode_axis_u32;
using Table = std::vector<std::string>;

TEST(EncodeAxisU32, PacksRowBlocksWithTwoColumnsPerWord) {
  EXPECT_EQ(encode_axis_u32({}), Table{});
  EXPECT_EQ(encode_axis_u32({{5, 10}, {5, 12}, {7, 3}}),
            (Table{"0x00050002", "0x000c000a", "0x00070001", "0x00000003"}));
  EXPECT_EQ(encode_axis_u32({{0, 0}}), (Table{"0x00000001", "0x00000000"}));
  EXPECT_EQ(encode_axis_u32({{1, 1}, {1, 2}, {1, 3}}), (Table{"0x00010003", "0x00020001", "0x00000003"}));
}

TEST(EncodeAxisU32, RowsAscendColumnsKeepInputOrderDuplicatesStay) {
  EXPECT_EQ(encode_axis_u32({{7, 3}, {5, 12}, {5, 10}}),
            (Table{"0x00050002", "0x000a000c", "0x00070001", "0x00000003"}));
  EXPECT_EQ(encode_axis_u32({{2, 4}, {2, 4}}), (Table{"0x00020002", "0x00040004"}));
}

TEST(EncodeAxisU32, SixteenBitRangeIsEnforcedWithTheOffendingValueNamed) {
  EXPECT_EQ(encode_axis_u32({{65535, 65535}}), (Table{"0xffff0001", "0x0000ffff"}));
  const auto message_of = [](std::vector<tuning::bpc::PixelPosition> p) {
    try {
      encode_axis_u32(std::move(p));
    } catch (const tuning::AssertionFailure& e) {
      return std::string(e.what());
    }
    return std::string("no failure");
  };
  EXPECT_NE(message_of({{65536, 0}}).find("row of bad pixel (65536, 0) is 65536"), std::string::npos);
  EXPECT_NE(message_of({{3, 65536}}).find("column of bad pixel (3, 65536)"), std::string::npos);
  EXPECT_NE(message_of({{-1, 2}}).find("is -1"), std::string::npos);
  std::vector<tuning::bpc::PixelPosition> crowded(65536, {9, 1});
  EXPECT_NE(message_of(crowded).find("number of bad pixels in row 9 is 65536"), std::string::npos);
  crowded.pop_back();
  EXPECT_EQ(encode_axis_u32(crowded).front(), "0x0009ffff");
}

}  // namespace
