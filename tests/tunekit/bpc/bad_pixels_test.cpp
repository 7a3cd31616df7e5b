// gen_bpc_param on small capture sets written to a scratch folder.
#include "bpc/bad_pixels.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "bpc/averaged_frame.h"
#include "bpc/frame_sum.h"
#include "bpc/neighbour_stats.h"
#include "shared/errors.h"

namespace {

namespace fs = std::filesystem;
using namespace tuning::bpc;
using Positions = std::vector<PixelPosition>;

class CaptureDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bpc_test_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& name, const std::vector<std::uint16_t>& samples) {
    std::ofstream out(dir_ / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
  }

  BPCFileParam params(std::vector<int> gains, BPType type = BPType::Hot) {
    BPCFileParam p;
    p.inp_file_dir = dir_.string();
    p.out_file_dir = (dir_ / "out").string();
    p.height = kH;
    p.width = kW;
    p.bp_type = type;
    for (int g : gains) p.again_list.push_back(tuning::Number::of_integer(g));
    return p;
  }

  static BPCTuningParam ratios(double dark, double light) {
    BPCTuningParam t;
    t.dark_thr_ratio = dark;
    t.light_thr_ratio = light;
    return t;
  }

  // A flat frame of `level` with the given pixels set.
  static std::vector<std::uint16_t> frame(std::uint16_t level, const std::vector<std::pair<PixelPosition, int>>& set) {
    std::vector<std::uint16_t> f(kH * kW, level);
    for (const auto& [pos, value] : set) f[pos.first * kW + pos.second] = static_cast<std::uint16_t>(value);
    return f;
  }

  static constexpr int kH = 12, kW = 16;
  fs::path dir_;
};

TEST_F(CaptureDir, NoGainsOrNoCapturesGiveAnEmptyResultAndCreateTheOutputFolder) {
  const auto none = gen_bpc_param(params({}), ratios(0.4, 0));
  EXPECT_EQ(none.module, "bpc");
  EXPECT_TRUE(none.static_loc.empty());
  EXPECT_TRUE(none.static_info.empty());
  EXPECT_TRUE(fs::is_directory(dir_ / "out"));
  EXPECT_TRUE(gen_bpc_param(params({1, 2}), ratios(0.4, 0)).static_info.empty());
}

TEST_F(CaptureDir, EmptyOutputFolderFailsBeforeReading) {
  auto p = params({1});
  p.out_file_dir = "";
  EXPECT_THROW(gen_bpc_param(p, ratios(0.4, 0)), fs::filesystem_error);
}

TEST_F(CaptureDir, HotThresholdIsStrictlyAboveTheFrameMean) {
  // Mean exactly 64: 96 = 64 x 1.5 is not hot, 97 is; 32 and 31 balance them.
  write("a_dark_LCG_exp_20_again_1_0.raw", frame(64, {{{3, 4}, 96}, {{5, 7}, 97}, {{8, 1}, 32}, {{8, 2}, 31}}));
  const auto r = gen_bpc_param(params({1}), ratios(0.5, 0));
  ASSERT_EQ(r.static_loc.size(), 1u);
  EXPECT_EQ(r.static_loc[0].gain, "1");
  EXPECT_EQ(r.static_loc[0].positions, (Positions{{5, 7}}));
  EXPECT_EQ(r.static_info, (std::vector<std::string>{"0x00050001", "0x00000007"}));
}

TEST_F(CaptureDir, FilesAreMatchedByKindModeAndWholeGainText) {
  write("x_dark_LCG_exp_20_again_1_0.raw", frame(64, {{{2, 2}, 900}}));
  write("x_dark_HCG_exp_20_again_1_0.raw", frame(64, {{{4, 4}, 900}}));
  write("x_dark_LCG_exp_20_again_10_0.raw", frame(64, {{{6, 6}, 900}}));
  write("x_light_LCG_exp_20_again_1_0.raw", frame(64, {{{8, 8}, 900}}));
  write("x_dark_LCG_exp_30_again_2_0.raw", frame(64, {{{2, 9}, 900}}));
  const auto r = gen_bpc_param(params({1, 3, 2}), ratios(0.4, 0));
  ASSERT_EQ(r.static_loc.size(), 2u);  // gain 3 has no captures: no entry
  EXPECT_EQ(r.static_loc[0].gain, "1");
  EXPECT_EQ(r.static_loc[0].positions, (Positions{{2, 2}}));
  EXPECT_EQ(r.static_loc[1].gain, "2");
  EXPECT_EQ(r.static_loc[1].positions, (Positions{{2, 9}}));
  // Row 2 once, its columns ascending.
  EXPECT_EQ(r.static_info, (std::vector<std::string>{"0x00020002", "0x00090002"}));
}

TEST_F(CaptureDir, PixelsBadAtSeveralGainsArePackedOnce) {
  write("a_dark_LCG_exp_1_again_1_0.raw", frame(64, {{{3, 5}, 900}, {{1, 9}, 900}}));
  write("a_dark_LCG_exp_1_again_2_0.raw", frame(64, {{{3, 5}, 900}, {{3, 2}, 900}}));
  const auto r = gen_bpc_param(params({2, 1, 2}), ratios(0.4, 0));
  ASSERT_EQ(r.static_loc.size(), 2u);  // the repeated gain keeps its first place
  EXPECT_EQ(r.static_loc[0].gain, "2");
  EXPECT_EQ(r.static_loc[0].positions, (Positions{{3, 2}, {3, 5}}));
  EXPECT_EQ(r.static_loc[1].positions, (Positions{{1, 9}, {3, 5}}));
  EXPECT_EQ(r.static_info, (std::vector<std::string>{"0x00010001", "0x00000009", "0x00030002", "0x00050002"}));
}

TEST_F(CaptureDir, ShortCaptureStopsTheRoutineLongerOneIsTruncated) {
  auto longer = frame(64, {{{4, 4}, 900}});
  longer.push_back(60000);
  write("a_dark_LCG_exp_1_again_1_0.raw", longer);
  EXPECT_EQ(gen_bpc_param(params({1}), ratios(0.4, 0)).static_loc[0].positions, (Positions{{4, 4}}));

  auto shorter = frame(64, {});
  shorter.pop_back();
  write("a_dark_LCG_exp_1_again_2_0.raw", shorter);
  try {
    gen_bpc_param(params({1, 2}), ratios(0.4, 0));
    FAIL() << "a short capture must stop the routine";
  } catch (const tuning::CalibrationError& e) {
    EXPECT_STREQ(e.what(), tuning::kInvalidImageShape);
  }
}

TEST_F(CaptureDir, UnreadableCaptureReportsTheShapeTextWithTheCauseNested) {
  fs::create_directory(dir_ / "a_dark_LCG_exp_1_again_1_0.raw");
  try {
    gen_bpc_param(params({1}), ratios(0.4, 0));
    FAIL() << "a directory in place of a capture must stop the routine";
  } catch (const tuning::CalibrationError& e) {
    EXPECT_STREQ(e.what(), tuning::kInvalidImageShape);
    EXPECT_THROW(std::rethrow_if_nested(e), fs::filesystem_error);
  }
}

TEST_F(CaptureDir, ColdSetsRunTheNeighbourhoodTest) {
  write("a_light_LCG_exp_5_again_4_0.raw", frame(2000, {{{5, 6}, 200}, {{6, 9}, 3000}}));
  write("a_light_LCG_exp_5_again_4_1.raw", frame(2000, {{{5, 6}, 200}, {{6, 9}, 3000}}));
  // Flat neighbourhoods leave no spread: every pixel with a flat neighbourhood
  // is flagged at any ratio, so give the frame a gentle ramp.
  auto ramp = [](std::vector<std::uint16_t> f) {
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) f[y * kW + x] = static_cast<std::uint16_t>(f[y * kW + x] + ((x * 7 + y * 13) % 5));
    return f;
  };
  write("a_light_LCG_exp_5_again_4_0.raw", ramp(frame(2000, {{{5, 6}, 200}, {{6, 9}, 3000}})));
  write("a_light_LCG_exp_5_again_4_1.raw", ramp(frame(2000, {{{5, 6}, 200}, {{6, 9}, 3000}})));
  const auto r = gen_bpc_param(params({4}, BPType::Cold), ratios(0, 20));
  ASSERT_EQ(r.static_loc.size(), 1u);
  Positions interior;
  for (const auto& p : r.static_loc[0].positions)
    if (p.first >= 2 && p.first < kH - 2 && p.second >= 2 && p.second < kW - 2) interior.push_back(p);
  EXPECT_EQ(interior, (Positions{{5, 6}, {6, 9}}));

  // A zero ratio flags every pixel.
  EXPECT_EQ(gen_bpc_param(params({4}, BPType::Cold), ratios(0, 0)).static_loc[0].positions.size(),
            static_cast<std::size_t>(kH * kW));
}

TEST_F(CaptureDir, AveragedFrameIsTheRunningSumOfEachFrameOverN) {
  // Summed as 1/3 + 1/3 + 8/3 the mean differs in the last bit from 10/3.
  const std::map<std::string, std::uint16_t> levels = {{"a_dark_LCG_exp_1_again_1_0.raw", 1},
                                                       {"a_dark_LCG_exp_1_again_1_1.raw", 1},
                                                       {"a_dark_LCG_exp_1_again_1_2.raw", 8}};
  for (const auto& [name, level] : levels) write(name, std::vector<std::uint16_t>(kH * kW, level));
  std::vector<std::string> files;
  double want = 0.0;
  for (const auto& e : fs::directory_iterator(dir_)) {
    files.push_back(e.path().string());
    want += levels.at(e.path().filename().string()) / 3.0;
  }
  const std::vector<double> mean = AveragedCaptures(files, kH, kW).frame();
  for (double v : mean) ASSERT_EQ(v, want);
  if (files.back().back() == '2') EXPECT_NE(want, 10.0 / 3.0);  // listing order 1, 1, 8
}

// Averages of every capture count take the same path as the running sum:
// 70 captures (more than are held open at once, quotients by table) and 64
// (a power of two, summed in integers), over a frame of several chunks.
class CaptureCounts : public CaptureDir, public ::testing::WithParamInterface<int> {};

TEST_P(CaptureCounts, WholeFramesAndPartialRangesAverageAsTheRunningSum) {
  const int kCaptures = GetParam();
  constexpr int kRows = 100, kCols = 700;
  std::vector<std::string> files;
  std::vector<double> want(kRows * kCols, 0.0);
  for (int c = 0; c < kCaptures; ++c) {
    std::vector<std::uint16_t> f(kRows * kCols);
    for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::uint16_t>((i * 7919 + c * 104729) % 65536);
    const std::string name = "a_dark_LCG_exp_1_again_1_" + std::to_string(c) + ".raw";
    write(name, f);
    files.push_back((dir_ / name).string());
    for (std::size_t i = 0; i < f.size(); ++i) want[i] += f[i] / static_cast<double>(kCaptures);
  }
  const std::vector<double> mean = AveragedCaptures(files, kRows, kCols).frame();
  EXPECT_EQ(mean, want);
  const AveragedCaptures captures(files, kRows, kCols);
  std::vector<double> part(1000);
  captures.values(kChunkValues - 300, part.size(), part.data());
  EXPECT_TRUE(std::equal(part.begin(), part.end(), want.begin() + (kChunkValues - 300)));
}

INSTANTIATE_TEST_SUITE_P(BadPixels, CaptureCounts, ::testing::Values(70, 64, 3));

TEST_F(CaptureDir, ColdRoutineAgreesWithTheTestOnTheAveragedFrame) {
  // Few distinct levels make many deviations tie with their thresholds, so
  // that the pixels the reads leave undecided are settled from the captures:
  // one by one at first, by a second full average beyond the budget.
  constexpr int kRows = 160, kCols = 200, kCaptures = 3;
  std::vector<std::string> files;
  for (int c = 0; c < kCaptures; ++c) {
    std::vector<std::uint16_t> f(kRows * kCols);
    for (std::size_t i = 0; i < f.size(); ++i)
      f[i] = static_cast<std::uint16_t>(1000 + ((i * 2654435761u + c * 40503u) >> 7) % 4 * 256);
    const std::string name = "a_light_HCG_exp_1_again_3_" + std::to_string(c) + ".raw";
    write(name, f);
    files.push_back((dir_ / name).string());
  }
  auto p = params({3}, BPType::Cold);
  p.height = kRows;
  p.width = kCols;
  p.sensor_mode = tuning::SensorMode::HCG;
  const std::vector<double> mean = AveragedCaptures(files, kRows, kCols).frame();
  std::vector<float> reads(mean.size());
  cold_neighbour_reads(mean.data(), mean.size(), reads.data());
  bool some_undecided = false, many_undecided = false;
  for (double ratio : {0.5, 1.0, 1.5, 3.0}) {
    const std::size_t undecided = cold_candidates(reads.data(), kRows, kCols, ratio).undecided.size();
    some_undecided = some_undecided || (undecided > 0 && undecided <= kSingleValueBudget);
    many_undecided = many_undecided || undecided > kSingleValueBudget;
    const FlaggedPixels want = get_dark_bad(mean.data(), kRows, kCols, ratio);
    Positions want_positions;
    for (std::size_t i = 0; i < want.rows.size(); ++i) want_positions.emplace_back(want.rows[i], want.columns[i]);
    const auto got = gen_bpc_param(p, ratios(0, ratio));
    ASSERT_EQ(got.static_loc.size(), 1u);
    EXPECT_EQ(got.static_loc[0].positions, want_positions) << "ratio " << ratio << ", " << undecided << " undecided";
  }
  EXPECT_TRUE(some_undecided);
  EXPECT_TRUE(many_undecided);
}

TEST(BlockedSum, AddsPairwiseBlocksOfTheArrayLibraryInOrder) {
  // Values whose sum depends on the order: large and small magnitudes mixed.
  std::vector<double> v(3 * kSumBlock + 1000);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = (i % 7 == 0 ? 1e12 : 1.0) / static_cast<double>(1 + i % 13);
  double want = 0.0;
  for (std::size_t first = 0; first < v.size(); first += kSumBlock)
    want += pairwise_sum(v.data() + first, std::min(kSumBlock, v.size() - first));
  double sequential = 0.0;
  for (double x : v) sequential += x;
  EXPECT_EQ(blocked_sum(v.data(), v.size()), want);
  EXPECT_NE(want, sequential);
  // Below eight values the pairwise sum is the plain sum.
  EXPECT_EQ(pairwise_sum(v.data(), 5), (((v[0] + v[1]) + v[2]) + v[3]) + v[4]);
}

TEST(BpcJson, KeysInRecordOrderAndPositionsAsPairs) {
  BPCTuningResult r;
  r.static_loc.push_back({"1", {{2, 3}}});
  r.static_info = {"0x00020001"};
  EXPECT_EQ(tuning::python_json_text(to_json(r)),
            "{\n    \"module\": \"bpc\",\n    \"static_loc\": {\n        \"1\": [\n            [\n                2,\n"
            "                3\n            ]\n        ]\n    },\n    \"static_info\": [\n        \"0x00020001\"\n"
            "    ]\n}");
  EXPECT_EQ(tuning::python_json_text(to_json(BPCTuningResult{})),
            "{\n    \"module\": \"bpc\",\n    \"static_loc\": {},\n    \"static_info\": []\n}");
}

}  // namespace
