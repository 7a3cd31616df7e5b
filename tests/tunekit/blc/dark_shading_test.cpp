#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "blc/dark_frame_blocks.h"
#include "blc/dark_preview.h"
#include "blc/dark_shading.h"
#include "shared/errors.h"

namespace fs = std::filesystem;
using namespace tuning;
using namespace tuning::blc;

namespace {

class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = fs::temp_directory_path() /
            ("dark_shading_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

void write_capture(const std::string& path, std::int64_t height, std::int64_t width,
                   const std::function<std::uint16_t(std::int64_t, std::int64_t)>& value) {
  std::vector<std::uint16_t> samples;
  for (std::int64_t y = 0; y < height; ++y)
    for (std::int64_t x = 0; x < width; ++x) samples.push_back(value(y, x));
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
}

std::string capture_name(const std::string& dir, int exposure, int gain, int index) {
  return dir + "/set_dark_LCG_exp_" + std::to_string(exposure) + "_again_" + std::to_string(gain) + "_" +
         std::to_string(index) + ".raw";
}

BLCFileParam file_param(const std::string& dir, std::int64_t height, std::int64_t width, std::int64_t bits = 12) {
  BLCFileParam p;
  p.inp_file_dir = dir;
  p.out_file_dir = dir + "/out";
  p.height = height;
  p.width = width;
  p.bits = bits;
  return p;
}

BLCTuningParam mesh_param(std::int64_t with_sbl, std::int64_t rows = 24, std::int64_t cols = 24) {
  BLCTuningParam t;
  t.with_sbl = with_sbl;
  t.mesh_table_h = rows;
  t.mesh_table_w = cols;
  return t;
}

const LineSink kQuiet = [](const std::string&) {};

}  // namespace

TEST(BlockGeometry, FollowsTheHalvingRuleForTheUsualFrameSizes) {
  struct Case {
    std::int64_t length, count, size;
  };
  for (const Case c : {Case{1520, 95, 16}, {1440, 45, 32}, {2560, 40, 64}, {2688, 42, 64}, {100, 25, 4}, {16, 16, 1}}) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(mesh_block_count(c.length, 24), c.count);
    const BlockAxis axis = block_axis(c.length, 24, "height");
    EXPECT_EQ(axis.count, c.count);
    EXPECT_EQ(axis.size, c.size);
  }
}

TEST(BlockGeometry, RejectsDimensionsThatLeaveNoWholeBlocks) {
  EXPECT_EQ(mesh_block_count(15, 24), 30);
  try {
    block_axis(15, 24, "width");
    FAIL() << "15 samples cannot be cut into 30 blocks";
  } catch (const ShapeError& e) {
    EXPECT_NE(std::string(e.what()).find("width: 15 samples cut into 30 blocks"), std::string::npos) << e.what();
  }
  // 1500 halves to 375 blocks of 4, which leave 0 samples over: fine. 1502
  // is even, halves to the odd 751, and 751 blocks of 2 cover it exactly.
  EXPECT_EQ(block_axis(1502, 24, "height").size, 2);
  // A zero dimension or mesh size must end, not halve forever.
  EXPECT_EQ(mesh_block_count(0, 0), 0);
  EXPECT_THROW(block_axis(0, 24, "height"), ShapeError);
}

TEST(AveragedBlockMeans, AveragesEveryCaptureOverEachBlock) {
  TempDir dir;
  // 4 x 6 frame in 2 x 2 blocks of 2 x 3; the two captures differ by 2.
  const auto base = [](std::int64_t y, std::int64_t x) { return static_cast<std::uint16_t>(100 + 10 * y + x); };
  write_capture(dir.str() + "/a.raw", 4, 6, base);
  write_capture(dir.str() + "/b.raw", 4, 6, [&](std::int64_t y, std::int64_t x) { return base(y, x) + 2; });
  const auto means = averaged_block_means({dir.str() + "/a.raw", dir.str() + "/b.raw"}, {2, 2}, {2, 3});
  // Block (0, 0): rows 0-1, cols 0-2 -> mean 100 + 5 + 1 = 106, plus 1 for the average of +0 and +2.
  ASSERT_EQ(means.size(), 4u);
  EXPECT_DOUBLE_EQ(means[0], 107.0);
  EXPECT_DOUBLE_EQ(means[1], 110.0);
  EXPECT_DOUBLE_EQ(means[2], 127.0);
  EXPECT_DOUBLE_EQ(means[3], 130.0);
}

TEST(AveragedBlockMeans, RejectsACaptureOfAnotherSizeNamingIt) {
  TempDir dir;
  write_capture(dir.str() + "/good.raw", 4, 6, [](std::int64_t, std::int64_t) { return 1; });
  write_capture(dir.str() + "/long.raw", 5, 6, [](std::int64_t, std::int64_t) { return 1; });
  try {
    averaged_block_means({dir.str() + "/good.raw", dir.str() + "/long.raw"}, {2, 2}, {2, 3});
    FAIL() << "a 5 x 6 capture passed as 4 x 6";
  } catch (const ShapeError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("long.raw' holds 30 samples"), std::string::npos) << what;
    EXPECT_NE(what.find("needs exactly 24"), std::string::npos) << what;
  }
  EXPECT_THROW(averaged_block_means({dir.str() + "/missing.raw"}, {2, 2}, {2, 3}), fs::filesystem_error);
}

TEST(MeshFromBlockMeans, KeepsOrRemovesTheBlackLevelAndClipsToTheSampleRange) {
  // The resampling weights are single precision, so a flat grid comes back
  // flat only to about 1e-8 relative.
  const std::vector<double> flat64(95 * 40, 64.0);
  for (double v : mesh_from_block_means(flat64, 95, 40, mesh_param(1), 12).values) EXPECT_NEAR(v, 64.0, 1e-5);
  for (double v : mesh_from_block_means(flat64, 95, 40, mesh_param(0), 12).values) EXPECT_DOUBLE_EQ(v, 0.0);

  const std::vector<double> bright(95 * 40, 2000.0);
  for (double v : mesh_from_block_means(bright, 95, 40, mesh_param(0), 10).values) EXPECT_DOUBLE_EQ(v, 1023.0);
  const std::vector<double> below(95 * 40, 30.0);
  for (double v : mesh_from_block_means(below, 95, 40, mesh_param(0), 10).values) EXPECT_DOUBLE_EQ(v, 0.0);
}

TEST(MeshFromBlockMeans, SmoothsWithA3x3BoxMirroredAboutTheEdgeSample) {
  // A 3 x 3 grid resampled to 3 x 3 is unchanged, so only the smoothing acts.
  std::vector<double> grid(9);
  for (int i = 0; i < 9; ++i) grid[i] = i;  // value 3 r + c
  const MeshTable table = mesh_from_block_means(grid, 3, 3, mesh_param(1, 3, 3), 12);
  ASSERT_EQ(table.rows, 3);
  ASSERT_EQ(table.cols, 3);
  EXPECT_NEAR(table.values[4], 4.0, 1e-12);
  // Corner (0, 0) sees rows {1, 0, 1} and columns {1, 0, 1}: (18 + 6) / 9.
  EXPECT_NEAR(table.values[0], 24.0 / 9.0, 1e-12);
  // The box window stays 3 x 3 whatever kernel_size says.
  BLCTuningParam wide = mesh_param(1, 3, 3);
  wide.kernel_size = 7;
  EXPECT_EQ(mesh_from_block_means(grid, 3, 3, wide, 12).values, table.values);
}

TEST(MeshFromBlockMeans, ResamplesToTheRequestedRowsAndColumns) {
  std::vector<double> ramp(95 * 40);
  for (int y = 0; y < 95; ++y)
    for (int x = 0; x < 40; ++x) ramp[y * 40 + x] = x;
  const MeshTable table = mesh_from_block_means(ramp, 95, 40, mesh_param(1, 6, 10), 12);
  ASSERT_EQ(table.rows, 6);
  ASSERT_EQ(table.cols, 10);
  // Bilinear with 4 source columns per destination column: column c samples
  // source 4c + 1.5; the box filter leaves the ramp alone away from the edges.
  EXPECT_NEAR(table.values[2 * 10 + 5], 21.5, 1e-4);
  EXPECT_THROW(mesh_from_block_means(ramp, 95, 40, mesh_param(1, 0, 24), 12), ShapeError);
}

TEST(SampleMaxText, WritesTheExactIntegerLikeTheHost) {
  EXPECT_EQ(sample_max_text(12), "4095");
  EXPECT_EQ(sample_max_text(0), "0");
  EXPECT_EQ(sample_max_text(64), "18446744073709551615");
  EXPECT_EQ(sample_max_text(-1), "-0.5");
}

TEST(DarkShadingTuning, MakesOneTablePerPairWithCapturesGainFirst) {
  TempDir dir;
  // Dark level = 10 x gain + exposure, so each table tells which pair it came from.
  for (int gain : {1, 4})
    for (int exposure : {10, 30})
      for (int i = 0; i < 2; ++i)
        write_capture(capture_name(dir.str(), exposure, gain, i), 32, 48,
                      [&](std::int64_t, std::int64_t) { return static_cast<std::uint16_t>(10 * gain + exposure); });
  BLCFileParam p = file_param(dir.str(), 32, 48);
  for (int g : {1, 2, 4}) p.again_list.push_back(Number::of_integer(g));
  for (int e : {10, 20, 30}) p.exp_time_list.push_back(Number::of_integer(e));
  std::vector<std::string> lines;
  const auto result = dark_shading_tuning(p, mesh_param(1, 4, 4), [&](const std::string& l) { lines.push_back(l); });

  EXPECT_EQ(lines, std::vector<std::string>{"1 64 3 4 4 12 0 4095"});
  EXPECT_TRUE(fs::is_directory(p.out_file_dir));
  ASSERT_EQ(result.mesh_table.size(), 4u);
  const double expected[] = {20, 40, 50, 70};
  for (std::size_t k = 0; k < 4; ++k) {
    ASSERT_EQ(result.mesh_table[k].values.size(), 16u);
    EXPECT_DOUBLE_EQ(result.mesh_table[k].values[5], expected[k]) << "table " << k;
  }
}

TEST(DarkShadingTuning, ReportsShapeFailuresAsShapeErrors) {
  TempDir dir;
  write_capture(capture_name(dir.str(), 10, 1, 0), 15, 48, [](std::int64_t, std::int64_t) { return 64; });
  BLCFileParam p = file_param(dir.str(), 15, 48);
  p.again_list = {Number::of_integer(1)};
  p.exp_time_list = {Number::of_integer(10)};
  // 15 rows make 30 blocks of 0 rows.
  EXPECT_THROW(dark_shading_tuning(p, mesh_param(1), kQuiet), ShapeError);
  // The frame size is checked against every capture before the block cut.
  p.height = 16;
  try {
    dark_shading_tuning(p, mesh_param(1), kQuiet);
    FAIL() << "a 15-row capture passed as 16 rows";
  } catch (const ShapeError& e) {
    EXPECT_NE(std::string(e.what()).find("holds 720 samples"), std::string::npos) << e.what();
  }
  // No capture anywhere: no table and no failure.
  p.again_list = {Number::of_integer(8)};
  EXPECT_TRUE(dark_shading_tuning(p, mesh_param(1), kQuiet).mesh_table.empty());
}

namespace {

std::vector<double> plane(std::int64_t rows, std::int64_t cols,
                          const std::function<double(std::int64_t, std::int64_t)>& f) {
  std::vector<double> v;
  for (std::int64_t y = 0; y < rows; ++y)
    for (std::int64_t x = 0; x < cols; ++x) v.push_back(f(y, x));
  return v;
}

}  // namespace

TEST(DarkPreview, ShowsTheShadingBeforeAndAFlatFrameAfterAnExactTable) {
  // A 2 x 2 mesh of a left-to-right rise; its bilinear enlargement is the frame.
  const std::vector<double> mesh = {60.0, 80.0, 60.0, 80.0};
  cv::Mat mesh_mat(2, 2, CV_64F, const_cast<double*>(mesh.data())), frame_mat;
  cv::resize(mesh_mat, frame_mat, cv::Size(64, 32));
  const PlaneView frame{frame_mat.ptr<double>(), 32, 64};

  const DarkPreview preview = dark_preview({mesh.data(), 2, 2}, frame, 1);
  ASSERT_EQ(preview.before.rows, 4);
  ASSERT_EQ(preview.before.cols, 8);
  EXPECT_FALSE(preview.before.blank);
  EXPECT_LT(preview.before.values[0], preview.before.values[7]);
  EXPECT_DOUBLE_EQ(*std::max_element(preview.before.values.begin(), preview.before.values.end()), 255.0);
  // Nothing left after the correction: every block sits at the top of its
  // (then flat) scale, all equal.
  for (double v : preview.after.values) EXPECT_NEAR(v, 255.0, 1e-9);

  // with_sbl = 0: the table holds only the shading, the frame's mean is removed too.
  std::vector<double> relative = mesh;
  for (double& v : relative) v -= 70.0;
  const DarkPreview rel = dark_preview({relative.data(), 2, 2}, frame, 0);
  for (std::size_t k = 0; k < rel.after.values.size(); ++k) EXPECT_NEAR(rel.after.values[k], 255.0, 1e-6);
}

TEST(DarkPreview, LeavesAFrameWithoutVariationBlack) {
  const auto flat = plane(16, 16, [](std::int64_t, std::int64_t) { return 64.0; });
  const std::vector<double> mesh = {64.0};
  const DarkPreview preview = dark_preview({mesh.data(), 1, 1}, {flat.data(), 16, 16}, 1);
  EXPECT_TRUE(preview.before.blank);
  EXPECT_TRUE(preview.after.blank);
  EXPECT_EQ(preview.before.largest, 0.0);
  for (double v : preview.before.values) EXPECT_EQ(v, 0.0);
  for (double v : preview.after.values) EXPECT_EQ(v, 0.0);

  auto poisoned = plane(16, 16, [](std::int64_t y, std::int64_t x) { return 60.0 + x + y; });
  poisoned[5] = std::nan("");
  const DarkPreview nan_preview = dark_preview({mesh.data(), 1, 1}, {poisoned.data(), 16, 16}, 1);
  EXPECT_TRUE(nan_preview.before.blank);
  for (double v : nan_preview.before.values) EXPECT_EQ(v, 0.0);
}

TEST(DarkPreview, RejectsFramesThatAreNotWholeBlocks) {
  const auto frame = plane(12, 16, [](std::int64_t, std::int64_t) { return 1.0; });
  const std::vector<double> mesh = {1.0};
  try {
    dark_preview({mesh.data(), 1, 1}, {frame.data(), 12, 16}, 1);
    FAIL() << "12 rows are not whole 8 x 8 blocks";
  } catch (const ShapeError& e) {
    EXPECT_NE(std::string(e.what()).find("got 12 x 16"), std::string::npos) << e.what();
  }
}

TEST(CheckTuningQualityInDarkImg, WritesBothPreviewsAsFullSizeGreyPngs) {
  TempDir dir;
  const auto frame = plane(32, 64, [](std::int64_t y, std::int64_t x) { return 60.0 + 0.3 * x + 0.1 * y; });
  const std::vector<double> mesh(24 * 24, 62.0);
  const auto check = check_tuning_quality_in_dark_img({mesh.data(), 24, 24}, {frame.data(), 32, 64}, 1,
                                                      "LCG_exp_10_again_2", dir.str());
  EXPECT_EQ(check.files.before_path, dir.str() + "/tmp/LCG_exp_10_again_2_before.png");
  EXPECT_EQ(check.files.after_path, dir.str() + "/tmp/LCG_exp_10_again_2_after.png");
  for (const auto& path : {check.files.before_path, check.files.after_path}) {
    const cv::Mat image = cv::imread(path, cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(image.empty()) << path;
    EXPECT_EQ(image.type(), CV_8UC1);
    EXPECT_EQ(image.rows, 32);
    EXPECT_EQ(image.cols, 64);
    // Each 8 x 8 block is one grey level, and the stretch reaches 255.
    EXPECT_EQ(image.at<std::uint8_t>(8, 8), image.at<std::uint8_t>(15, 15));
    double largest = 0;
    cv::minMaxLoc(image, nullptr, &largest);
    EXPECT_EQ(largest, 255.0);
  }
  // Only the two previews are left behind: no temporary files.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.str() + "/tmp"), fs::directory_iterator{}), 2);
}
