// The library's fast pipeline against the straightforward one, and the
// export's decoding of its stack slots.
#include <gtest/gtest.h>

#include "reference_pipeline.h"
#include "stages.h"
#include "test_support.h"

using namespace test_support;
using tonewright_cases::CaseShape;
using tonewright_cases::random_case;

TEST(Pipeline, MatchesReferenceOnSeededLocalCases) {
  const int sizes[][2] = {{132, 196}, {70, 136}, {196, 132}, {260, 330}, {66, 66}, {130, 258}};
  for (uint64_t seed = 1; seed <= 24; ++seed) {
    CaseShape shape;
    shape.height = sizes[seed % 6][0];
    shape.width = sizes[seed % 6][1];
    shape.block_size_code = seed % 7 == 3 ? 1 : 0;
    shape.wild_frame = seed % 4 == 0;
    ExportArgs a = random_case(seed, shape);
    if (shape.block_size_code == 1 && (a.height <= 128 || a.width <= 128)) a.block_size_code = 0;
    expect_matches_reference(a, "local seed " + std::to_string(seed));
  }
}

TEST(Pipeline, MatchesReferenceOnSeededGlobalCases) {
  for (uint64_t seed = 100; seed < 108; ++seed) {
    CaseShape shape;
    shape.height = 2 * (10 + int(seed % 40));
    shape.width = 2 * (8 + int(seed * 7 % 50));
    shape.global_lut_mode = true;
    shape.wild_frame = seed % 2 == 0;
    expect_matches_reference(random_case(seed, shape), "global seed " + std::to_string(seed));
  }
}

TEST(Pipeline, MatchesReferenceForLargerBlocksAndLongCurves) {
  // Block 256 on a frame with interior spans, many bins and a strong
  // position weighting; the 22-bit four-segment layout for LUT 1, which
  // fills only the first 131072 entries.
  CaseShape shape{560, 600, 2, false, false};
  ExportArgs a = random_case(7, shape);
  a.bins = 120;
  a.hist_power = 5;
  a.lut1.seg_end = {16, 8192, 131072, 4194304};
  a.lut1.seg_shift = {0, 4, 9, 14};
  a.lut1.seg_count = 4;
  a.lut1.knots.assign(16 + 511 + 240 + 248 + 1, 0);
  for (size_t k = 0; k < a.lut1.knots.size(); ++k) a.lut1.knots[k] = int32_t(k * 4000);
  a.lut1.knot_count = int32_t(a.lut1.knots.size());
  expect_matches_reference(a, "block 256");
}

TEST(Pipeline, SixteenBitSlotsUseTheirLowHalf) {
  ExportArgs plain = small_case(5);
  ExportArgs high = plain;
  high.bins += 0x10000;
  high.cfa_pattern += 0x30000;
  high.noise_bits += 0x70000;
  high.tm_strength += 0x10000;
  high.mesh_off += plain.mesh_off ? 0x10000 : 0;
  call_tmo(plain);
  call_tmo(high);
  EXPECT_EQ(last_status().first, TMO_STATUS_OK) << last_status().second;
  EXPECT_EQ(plain.image, high.image);
}

TEST(Pipeline, UnusedArraysMayBeNull) {
  ExportArgs local = small_case(9);
  local.mesh_off = 1;
  local.mesh_values.clear();
  local.lut3 = {};
  call_tmo(local);
  EXPECT_EQ(last_status().first, TMO_STATUS_OK) << last_status().second;

  ExportArgs global = small_case(10, 40, 60, true);
  global.lut2 = {};
  call_tmo(global);
  EXPECT_EQ(last_status().first, TMO_STATUS_OK) << last_status().second;
}

TEST(Pipeline, BlockGeometryFollowsTheCode) {
  tonewright::TmoParams p;
  const int32_t codes[] = {0, 1, 2, 3, 4, 5, -1};
  const int blocks[] = {64, 128, 256, 512, 1024, 64, 64};
  for (int k = 0; k < 7; ++k) EXPECT_EQ(tonewright::block_size_of_code(codes[k]), blocks[k]) << codes[k];
  p.height = 1080;
  p.width = 1920;
  p.block_size_code = 2;
  EXPECT_EQ(tonewright::Geometry::of(p).block_rows, 4);
  p.height = 1024;
  EXPECT_EQ(tonewright::Geometry::of(p).block_rows, 3);
  p.block_size_code = 0;
  p.height = 1080;
  EXPECT_EQ(tonewright::Geometry::of(p).block_rows, 16);
  p.height = 1024;
  EXPECT_EQ(tonewright::Geometry::of(p).block_rows, 15);
}

TEST(Pipeline, GoldenCasesMatchReference) {
  // The stored golden frames come from the library; this ties them to the
  // straightforward computation as well.
  for (int c = 0; c < tonewright_cases::kGoldenCaseCount; ++c) {
    const auto& gc = tonewright_cases::kGoldenCases[c];
    expect_matches_reference(random_case(gc.seed, gc.shape), gc.name);
  }
}

TEST(Pipeline, OverlappingLutSegmentsMatchReference) {
  // A second segment ending before the first makes the third start inside
  // the first: only the expanded table says which knot wins there.
  for (bool global : {false, true}) {
    ExportArgs a = small_case(31, 132, 196, global);
    tonewright_cases::LutArrays& lut = global ? a.lut3 : a.lut1;
    lut.seg_end = {16, 8, 1u << 22};
    lut.seg_shift = {0, 4, 14};
    expect_matches_reference(a, global ? "overlapping lut3" : "overlapping lut1");
  }
}

TEST(Pipeline, NegativeOutputLutValuesMatchReference) {
  // Negative LUT 2 entries give negative gains, floored and wrapped into
  // the unsigned gain map as the hardware's 64-bit arithmetic does.
  ExportArgs a = small_case(43);
  a.tm_strength = 16;
  for (size_t k = 0; k < a.lut2.knots.size(); k += 3) a.lut2.knots[k] = -a.lut2.knots[k] - 7;
  expect_matches_reference(a, "negative lut2");
}
