#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "shared/capture_set.h"
#include "shared/errors.h"
#include "shared/json_text.h"
#include "shared/model.h"
#include "shared/raw_capture.h"
#include "test_files.h"

namespace tuning {
namespace {

using tunekit_test::ScratchDir;
using tunekit_test::write_samples;

TEST(NumberText, IntegersHaveNoPointAndRealsAlwaysDo) {
  EXPECT_EQ(Number::of_integer(16).text(), "16");
  EXPECT_EQ(Number::of_real(16.0).text(), "16.0");
  EXPECT_EQ(Number::of_real(1.5).text(), "1.5");
  EXPECT_EQ(Number::of_integer(-3).text(), "-3");
}

TEST(FloatRepr, MatchesTheHostsShortestForm) {
  EXPECT_EQ(float_repr(0.0), "0.0");
  EXPECT_EQ(float_repr(-0.0), "-0.0");
  EXPECT_EQ(float_repr(12.5), "12.5");
  EXPECT_EQ(float_repr(0.1), "0.1");
  EXPECT_EQ(float_repr(1e-05), "1e-05");
  EXPECT_EQ(float_repr(0.0001), "0.0001");
  EXPECT_EQ(float_repr(1e16), "1e+16");
  EXPECT_EQ(float_repr(1e15), "1000000000000000.0");
  EXPECT_EQ(float_repr(123456789.125), "123456789.125");
  EXPECT_EQ(float_repr(1.5e-07), "1.5e-07");
  EXPECT_EQ(float_repr(2.0 / 3.0), "0.6666666666666666");
  EXPECT_EQ(float_repr(1e300), "1e+300");
}

TEST(PathListRepr, QuotesLikeTheHost) {
  EXPECT_EQ(path_list_repr({}), "[]");
  EXPECT_EQ(path_list_repr({"a/b.raw", "c.raw"}), "['a/b.raw', 'c.raw']");
  EXPECT_EQ(path_list_repr({"it's"}), "[\"it's\"]");
  EXPECT_EQ(path_list_repr({"back\\slash"}), "['back\\\\slash']");
}

TEST(NormalizePath, FollowsTheHostsTextualRules) {
  EXPECT_EQ(normalize_path(""), ".");
  EXPECT_EQ(normalize_path("./test_data/blc/"), "test_data/blc");
  EXPECT_EQ(normalize_path("a//b/./c/"), "a/b/c");
  EXPECT_EQ(normalize_path("a/../../b"), "../b");
  EXPECT_EQ(normalize_path("/../a"), "/a");
  EXPECT_EQ(normalize_path("//a"), "//a");
  EXPECT_EQ(normalize_path("///a"), "/a");
}

TEST(CapturePattern, PlacesTagsAndKeepsNumberKinds) {
  EXPECT_EQ(capture_pattern("./caps/", "dark", SensorMode::HCG, Number::of_real(1.5), Number::of_integer(16)),
            "caps/*_dark_HCG_exp_1.5_again_16_*.raw");
}

TEST(GlobFiles, MatchesOnlyTheNamePartInListingOrder) {
  ScratchDir dir;
  const std::string odd_dir = dir.file("set[1]*");
  std::filesystem::create_directory(odd_dir);
  for (const char* name : {"a_dark_LCG_exp_10_again_1_x.raw", "b_dark_LCG_exp_100_again_1_x.raw",
                           ".hidden_dark_LCG_exp_10_again_1_x.raw", "c_dark_LCG_exp_10_again_1_.raw"})
    write_samples(odd_dir + "/" + name, {1});
  const auto found = glob_files(odd_dir + "/*_dark_LCG_exp_10_again_1_*.raw");
  ASSERT_EQ(found.size(), 2u);
  for (const auto& f : found) EXPECT_EQ(f.rfind(odd_dir + "/", 0), 0u) << f;
  EXPECT_TRUE(glob_files(dir.file("missing") + "/*.raw").empty());
}

TEST(ReadRaw, ReadsLittleEndianSamplesAndIgnoresAnOddByte) {
  ScratchDir dir;
  const std::string path = dir.file("x.raw");
  {
    std::ofstream out(path, std::ios::binary);
    const unsigned char bytes[] = {0x34, 0x12, 0xff, 0x00, 0x07};
    out.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
  }
  EXPECT_EQ(read_raw_u16(path), (Samples{0x1234, 0x00ff}));
  EXPECT_EQ(raw_sample_count(path), 2u);
  try {
    read_raw_u16(dir.file("missing.raw"));
    FAIL() << "no error for a missing file";
  } catch (const std::filesystem::filesystem_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(e.what()).find("missing.raw"), std::string::npos);
  }
}

TEST(FrameShape, TruncatingAcceptsLongerExactDoesNot) {
  const Samples one_short(15), exact(16), one_long(17);
  EXPECT_THROW(require_truncating_shape(one_short, 4, 4), CalibrationError);
  EXPECT_THROW(require_exact_shape(one_short, 4, 4), CalibrationError);
  EXPECT_NO_THROW(require_truncating_shape(one_long, 4, 4));
  EXPECT_THROW(require_exact_shape(one_long, 4, 4), CalibrationError);
  EXPECT_NO_THROW(require_exact_shape(exact, 4, 4));
  try {
    require_exact_shape(one_long, 4, 4);
  } catch (const CalibrationError& e) {
    EXPECT_STREQ(e.what(), kInvalidImageShape);
  }
}

TEST(SplitBayer4, CellPositionsAreRowParityThenColumnParity) {
  Samples frame(16);
  for (int i = 0; i < 16; ++i) frame[i] = static_cast<std::uint16_t>(i);
  const Samples cells = split_bayer4(frame.data(), 4, 4);
  EXPECT_EQ(Samples(cells.begin(), cells.begin() + 4), (Samples{0, 1, 4, 5}));
  EXPECT_EQ(Samples(cells.end() - 4, cells.end()), (Samples{10, 11, 14, 15}));
  EXPECT_THROW(split_bayer4(frame.data(), 4, 3), ShapeError);
}

TEST(CellPositionSums, AreExactForFullScaleSamples) {
  const std::int64_t h = 4, w = 70000;  // rows longer than one 32-bit partial sum
  Samples frame(static_cast<std::size_t>(h * w), 65535);
  const CellSums sums = cell_position_sums(frame.data(), h, w);
  for (auto s : sums) EXPECT_EQ(s, 65535ull * (h / 2) * (w / 2));
}

TEST(PythonJsonText, LaysOutLikeJsonDumpsIndent4) {
  OrderedJson v = OrderedJson::object();
  v["module"] = "blc";
  v["sbl"] = {{"again_1", {{"exp_time_10", {64.0, 12.5, 1e-05, 3}}}}, {"again_2", OrderedJson::object()}};
  v["list"] = OrderedJson::array();
  v["text"] = "caf\xc3\xa9 \"q\"\n\x7f";
  EXPECT_EQ(python_json_text(v),
            "{\n"
            "    \"module\": \"blc\",\n"
            "    \"sbl\": {\n"
            "        \"again_1\": {\n"
            "            \"exp_time_10\": [\n"
            "                64.0,\n"
            "                12.5,\n"
            "                1e-05,\n"
            "                3\n"
            "            ]\n"
            "        },\n"
            "        \"again_2\": {}\n"
            "    },\n"
            "    \"list\": [],\n"
            "    \"text\": \"caf\\u00e9 \\\"q\\\"\\n\\u007f\"\n"
            "}");
  EXPECT_EQ(python_json_text(OrderedJson(std::nan(""))), "NaN");
}

TEST(WriteFileAtomically, ReplacesWholeAndLeavesNothingOnFailure) {
  ScratchDir dir;
  const std::string path = dir.file("result.json");
  write_file_atomically(path, "first version, longer");
  write_file_atomically(path, "second");
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "second");
  EXPECT_THROW(write_file_atomically(dir.file("no/such/dir/result.json"), "x"), std::filesystem::filesystem_error);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(EnsureOutputDir, CreatesOneLevelOnly) {
  ScratchDir dir;
  EXPECT_NO_THROW(ensure_output_dir(dir.file("out")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("out")));
  EXPECT_NO_THROW(ensure_output_dir(dir.file("out")));
  EXPECT_THROW(ensure_output_dir(dir.file("a/b")), std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace tuning
