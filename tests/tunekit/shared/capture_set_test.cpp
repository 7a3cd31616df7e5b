#include "shared/capture_set.h"

#include <gtest/gtest.h>

#include "test_files.h"

using namespace tuning;

TEST(CaptureNames, BuildAndParseAreOneRule) {
  const CaptureFormat dng{SampleLayout::dng};
  const std::string name = capture_name("bring_up", "dark", SensorMode::HCG, "16.0", "4", "007", dng);
  EXPECT_EQ(name, "bring_up_dark_HCG_exp_16.0_again_4_007.dng");
  const auto parts = parse_capture_name(name);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->prefix, "bring_up");
  EXPECT_EQ(parts->kind, "dark");
  EXPECT_EQ(parts->mode, SensorMode::HCG);
  EXPECT_EQ(parts->exposure, "16.0");
  EXPECT_EQ(parts->gain, "4");
  EXPECT_EQ(parts->suffix, "007");
  EXPECT_EQ(parts->extension, ".dng");
  EXPECT_EQ(parse_capture_name("x_dark_LCG_exp_1_again_2_a_b.raw")->suffix, "a_b");
  for (const char* stray : {"x_dark_XCG_exp_1_again_2_0.raw", "x_dark_LCG_exp_1_again_2_0.raw.bak", "dark.raw",
                            "x_dark_LCG_exp__again_2_0.raw", "x_da7k_LCG_exp_1_again_2_0.raw"})
    EXPECT_FALSE(parse_capture_name(stray)) << stray;
}

TEST(CaptureNames, PatternsKeepNumberTextAndFindOnlyTheirExtension) {
  EXPECT_EQ(capture_pattern("./caps/", "dark", SensorMode::HCG, Number::of_real(1.5), Number::of_integer(16)),
            "caps/*_dark_HCG_exp_1.5_again_16_*.raw");
  tunekit_test::ScratchDir dir;
  for (const char* name : {"a_noise_LCG_exp_10_again_2_0.raw", "a_noise_LCG_exp_20_again_2_0.dng",
                           "a_noise_LCG_exp_20_again_2.0_0.dng", "a_noise_HCG_exp_20_again_2_0.dng"})
    tunekit_test::write_samples(dir.file(name), {1});
  EXPECT_EQ(condition_captures(dir.path(), "noise", SensorMode::LCG, "*", "2", CaptureFormat{SampleLayout::dng}),
            std::vector<std::string>{dir.path() + "/a_noise_LCG_exp_20_again_2_0.dng"});
  EXPECT_EQ(condition_captures(dir.path(), "noise", SensorMode::LCG, "10", "2"),
            std::vector<std::string>{dir.path() + "/a_noise_LCG_exp_10_again_2_0.raw"});
}
