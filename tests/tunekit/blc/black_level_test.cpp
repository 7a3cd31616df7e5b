#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "blc/black_level.h"
#include "shared/errors.h"
#include "test_files.h"

namespace tuning::blc {
namespace {

using tunekit_test::filled;
using tunekit_test::ScratchDir;
using tunekit_test::write_samples;

class BlackLevelSweep : public ::testing::Test {
 protected:
  BLCFileParam param(std::int64_t h, std::int64_t w, std::int64_t bits = 12) {
    BLCFileParam p;
    p.inp_file_dir = dir.path();
    p.out_file_dir = dir.file("out");
    p.height = h;
    p.width = w;
    p.bits = bits;
    return p;
  }
  void capture(const std::string& tags, const Samples& samples, const std::string& prefix = "cap") {
    write_samples(dir.file(prefix + "_dark_LCG_" + tags + "_0.raw"), samples);
  }
  std::vector<std::string> printed;
  LineSink print = [this](const std::string& line) { printed.push_back(line); };
  ScratchDir dir;
};

TEST_F(BlackLevelSweep, MeansPerCellPositionOverAllCaptures) {
  auto p = param(4, 4);
  p.again_list = {Number::of_integer(1)};
  p.exp_time_list = {Number::of_integer(10)};
  capture("exp_10_again_1", filled(16, 64), "a");
  capture("exp_10_again_1", filled(16, 66), "b");
  const auto result = gen_blc_param(p, print);
  ASSERT_EQ(result.sbl.size(), 1u);
  EXPECT_EQ(result.sbl[0].exposures[0].level, (BlackLevel4{65, 65, 65, 65}));
  EXPECT_DOUBLE_EQ(result.fixed_sbl, 65.0);
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_NE(printed[0].find("a_dark_LCG_exp_10_again_1_0.raw"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("out")));
}

TEST_F(BlackLevelSweep, GainsWithoutCapturesKeepAnEmptyEntryAndDoNotCount) {
  auto p = param(2, 2);
  p.again_list = {Number::of_integer(1), Number::of_integer(2)};
  p.exp_time_list = {Number::of_integer(10)};
  capture("exp_10_again_1", {10, 20, 30, 40});
  const auto result = gen_blc_param(p, print);
  ASSERT_EQ(result.sbl.size(), 2u);
  EXPECT_EQ(result.sbl[0].key, "again_1");
  EXPECT_EQ(result.sbl[0].exposures[0].key, "exp_time_10");
  EXPECT_EQ(result.sbl[0].exposures[0].level, (BlackLevel4{10, 20, 30, 40}));
  EXPECT_EQ(result.sbl[1].key, "again_2");
  EXPECT_TRUE(result.sbl[1].exposures.empty());
  EXPECT_DOUBLE_EQ(result.fixed_sbl, 25.0);
  EXPECT_EQ(printed.back(), "[]");
}

TEST_F(BlackLevelSweep, ExposureTextDecidesWhichFilesMatch) {
  auto p = param(2, 2);
  p.again_list = {Number::of_integer(1)};
  p.exp_time_list = {Number::of_integer(10), Number::of_real(1.5)};
  capture("exp_100_again_1", {1, 1, 1, 1});
  capture("exp_1.5_again_1", {2, 2, 2, 2});
  const auto result = gen_blc_param(p, print);
  ASSERT_EQ(result.sbl[0].exposures.size(), 1u);
  EXPECT_EQ(result.sbl[0].exposures[0].key, "exp_time_1.5");
}

TEST_F(BlackLevelSweep, EmptyGainListGivesEmptyResultAndStillCreatesTheOutput) {
  const auto result = gen_blc_param(param(2, 2), print);
  EXPECT_TRUE(result.sbl.empty());
  EXPECT_FALSE(result.has_fixed_sbl);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("out")));
  EXPECT_EQ(python_json_text(to_json(result)),
            "{\n    \"module\": \"blc\",\n    \"sbl\": {},\n    \"fixed_sbl\": {}\n}");
}

TEST_F(BlackLevelSweep, NoCaptureAtAllIsADivisionByZeroNamingTheFolder) {
  auto p = param(2, 2);
  p.again_list = {Number::of_integer(1)};
  p.exp_time_list = {Number::of_integer(10)};
  try {
    gen_blc_param(p, print);
    FAIL();
  } catch (const DivisionByZero& e) {
    EXPECT_NE(std::string(e.what()).find(dir.path()), std::string::npos) << e.what();
  }
}

TEST_F(BlackLevelSweep, TruncatingShapeAcceptsLongCapturesAndRejectsShortOnes) {
  auto p = param(4, 4);
  p.again_list = {Number::of_integer(1)};
  p.exp_time_list = {Number::of_integer(10)};
  auto long_capture = filled(16, 7);
  long_capture.push_back(60000);
  capture("exp_10_again_1", long_capture);
  EXPECT_EQ(gen_blc_param(p, print).sbl[0].exposures[0].level, (BlackLevel4{7, 7, 7, 7}));
  capture("exp_10_again_1", filled(15, 7));
  EXPECT_THROW(gen_blc_param(p, print), CalibrationError);
  // v2 demands the exact size: the long capture fails there.
  capture("exp_10_again_1", long_capture);
  EXPECT_THROW(gen_blc_param_v2(p, print), CalibrationError);
}

TEST_F(BlackLevelSweep, OddWidthFailsInTheChannelSplit) {
  auto p = param(4, 5);
  p.again_list = {Number::of_integer(1)};
  p.exp_time_list = {Number::of_integer(10)};
  capture("exp_10_again_1", filled(20, 1));
  EXPECT_THROW(gen_blc_param(p, print), ShapeError);
}

TEST_F(BlackLevelSweep, VersionTwoScalesToEightBits) {
  auto p = param(4, 4, 12);
  p.again_list = {Number::of_integer(1)};
  p.exp_time_list = {Number::of_integer(10)};
  capture("exp_10_again_1", filled(16, 256), "a");
  capture("exp_10_again_1", filled(16, 256), "b");
  const auto result = gen_blc_param_v2(p, print);
  EXPECT_EQ(result.sbl[0].exposures[0].level, (BlackLevel4{16, 16, 16, 16}));
  EXPECT_DOUBLE_EQ(result.fixed_sbl, 16.0);
  p.bits = 16;
  capture("exp_10_again_1", filled(16, 4096), "a");
  capture("exp_10_again_1", filled(16, 4096), "b");
  EXPECT_EQ(gen_blc_param_v2(p, print).sbl[0].exposures[0].level, (BlackLevel4{16, 16, 16, 16}));
}

TEST_F(BlackLevelSweep, VersionTwoWeighsEachFileEquallyAndNeedsOne) {
  FileParam p;
  p.height = 2;
  p.width = 2;
  p.bits = 8;  // ratio 1
  write_samples(dir.file("a.raw"), {0, 0, 0, 0});
  write_samples(dir.file("b.raw"), {3, 5, 7, 9});
  EXPECT_EQ(mean_capture_levels_256({dir.file("a.raw"), dir.file("b.raw")}, p), (BlackLevel4{1.5, 2.5, 3.5, 4.5}));
  EXPECT_THROW(mean_capture_levels_256({}, p), AssertionFailure);
}

TEST_F(BlackLevelSweep, VersionTwoReportsAnUnreadableCaptureWithItsCause) {
  auto p = param(2, 2);
  p.again_list = {Number::of_integer(1)};
  p.exp_time_list = {Number::of_integer(10)};
  std::filesystem::create_directory(dir.file("cap_dark_LCG_exp_10_again_1_0.raw"));
  try {
    gen_blc_param_v2(p, print);
    FAIL();
  } catch (const CalibrationError& e) {
    EXPECT_STREQ(e.what(), kInvalidImageShape);
    EXPECT_THROW(std::rethrow_if_nested(e), std::filesystem::filesystem_error);
  }
}

TEST(MeanCellLevels, IsTheMeanOverFramesOfTheFrameMeans) {
  const Samples a = {10, 20, 30, 40}, b = {12, 22, 32, 42};
  EXPECT_EQ(mean_cell_levels({a.data(), b.data()}, 2, 2), (BlackLevel4{11, 21, 31, 41}));
  EXPECT_THROW(mean_cell_levels({}, 2, 2), CalibrationError);
}

}  // namespace
}  // namespace tuning::blc
