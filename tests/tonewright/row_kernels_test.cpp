// Every kernel table the processor runs against the reference pipeline,
// bit for bit: the vector tables must agree with it on every path, their
// fallbacks to the per-cell code included.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "row_kernels.h"
#include "test_support.h"

using namespace test_support;
using tonewright_cases::CaseShape;
using tonewright_cases::random_case;

namespace {

// Makes the calls of one scope use one kernel table.
class ForcedKernels {
 public:
  explicit ForcedKernels(const tonewright::Kernels& k) { tonewright::force_kernels(&k); }
  ~ForcedKernels() { tonewright::force_kernels(nullptr); }
};

// The cases every table runs: both modes, the frame sizes whose rows end
// inside a vector, wild pixels, corrected input, dither shifts, mesh runs
// that wrap and LUTs the lanes cannot take.
std::vector<std::pair<std::string, ExportArgs>> kernel_cases() {
  std::vector<std::pair<std::string, ExportArgs>> cases;
  const int sizes[][2] = {{132, 196}, {70, 138}, {196, 134}, {260, 330}, {130, 258}, {134, 142}};
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    CaseShape shape;
    shape.height = sizes[seed % 6][0];
    shape.width = sizes[seed % 6][1];
    shape.wild_frame = seed % 3 == 0;
    ExportArgs a = random_case(seed, shape);
    a.use_corrected_input = int32_t(seed % 2);
    if (seed % 4 == 1) a.noise_shift = 33;  // shift 1 after the mask of 5 bits
    cases.emplace_back("local seed " + std::to_string(seed), a);
  }
  for (uint64_t seed = 200; seed < 206; ++seed) {
    CaseShape shape;
    shape.height = 2 * (12 + int(seed % 30));
    shape.width = 2 * (9 + int(seed * 7 % 50));
    shape.global_lut_mode = true;
    shape.wild_frame = seed % 2 == 0;
    cases.emplace_back("global seed " + std::to_string(seed), random_case(seed, shape));
  }
  {
    // Block 128 with interior spans, and LUT 1 steps too steep for 32 bits.
    CaseShape shape{400, 520, 1, false, false};
    ExportArgs a = random_case(77, shape);
    for (size_t k = 0; k < a.lut1.knots.size(); ++k) a.lut1.knots[k] = int32_t(k % 2 ? 0x7FFF0000 : -0x7FFF0000);
    cases.emplace_back("lut1 steps past 31 bits", a);
    ExportArgs b = random_case(78, shape);
    b.mesh_values[5] = -3000;  // negative gains in part of the frame
    b.mesh_off = 0;
    b.mesh_step_x = -b.mesh_step_x;  // positions run backwards and wrap
    b.use_corrected_input = 1;
    cases.emplace_back("negative mesh gains, wrapping columns", b);
  }
  for (bool global : {false, true}) {
    // Knots that jump about: every rounding of an interpolation step shows.
    ExportArgs a = small_case(global ? 35 : 34, 132, 196, global);
    tonewright_cases::LutArrays& lut = global ? a.lut3 : a.lut1;
    lut.seg_end = {16, 1024, 1u << 22};
    lut.seg_shift = {0, 4, 14};
    lut.seg_count = 3;
    lut.knots.resize(16 + 63 + 256 + 1);
    for (size_t k = 0; k < lut.knots.size(); ++k) lut.knots[k] = int32_t(k * 37 % 5000 + k);
    lut.knot_count = int32_t(lut.knots.size());
    cases.emplace_back(global ? "rough lut3" : "rough lut1", a);
  }
  for (bool global : {false, true}) {
    ExportArgs a = small_case(31, 132, 196, global);
    tonewright_cases::LutArrays& lut = global ? a.lut3 : a.lut1;
    lut.seg_end = {16, 8, 1u << 22};  // overlapping segments: the dense table
    lut.seg_shift = {0, 4, 14};
    cases.emplace_back(global ? "dense lut3" : "dense lut1", a);
  }
  {
    ExportArgs a = small_case(43);
    a.tm_strength = 23;  // above 16: the linear share wraps
    for (size_t k = 0; k < a.lut2.knots.size(); k += 3) a.lut2.knots[k] = -a.lut2.knots[k] - 7;
    cases.emplace_back("negative lut2, strength 23", a);
    ExportArgs b = small_case(44);
    b.wb_gain[1] = -5;  // white balance the lanes do not take
    b.ccm[4] = 1 << 21;
    cases.emplace_back("negative white balance, large matrix", b);
  }
  {
    // A floor that lifts the frame's log values past 16 bits: the gain
    // rows cannot take them from the 16-bit log plane.
    ExportArgs a = small_case(45, 260, 330, false);
    a.log_floor = 200;
    a.bins = 300;
    a.fixed_curve = 0;
    cases.emplace_back("log values past 16 bits", a);
  }
  return cases;
}

// The model run straight from the internal library, where the forced
// table applies (a call through the shared library picks its own), against
// the reference pipeline on a copy of the inputs.
void expect_table_matches_reference(ExportArgs a, const std::string& label) {
  ExportArgs for_reference = a;
  const reference::Planes expected = reference::tone_map(as_params(for_reference));
  const tonewright::Status status = tonewright::run_tone_mapping(as_params(a));
  ASSERT_EQ(int(status.outcome), int(tonewright::Outcome::ok)) << label << ": " << status.message;
  expect_frame_matches(a, expected, label);
}

}  // namespace

TEST(RowKernels, EveryTableMatchesTheReference) {
  const auto cases = kernel_cases();
  ASSERT_GE(tonewright::available_kernel_count(), 1);
  for (int t = 0; t < tonewright::available_kernel_count(); ++t) {
    const tonewright::Kernels& k = tonewright::available_kernels(t);
    std::printf("kernel table %s\n", k.name);
    ForcedKernels forced(k);
    for (const auto& c : cases) expect_table_matches_reference(c.second, std::string(k.name) + ", " + c.first);
  }
}

TEST(RowKernels, TheBestTableComesFirst) {
  EXPECT_EQ(&tonewright::best_kernels(), &tonewright::available_kernels(0));
  EXPECT_STREQ(tonewright::available_kernels(tonewright::available_kernel_count() - 1).name, "scalar");
#if TONEWRIGHT_SIMD
  // A machine that runs this build runs at least one vector table.
  EXPECT_GE(tonewright::available_kernel_count(), 2);
#endif
}

namespace {

using tonewright::Kernels;

// Values across the whole 32-bit range, with the edges and small ones often.
int32_t any_int32(std::mt19937& rng) {
  switch (rng() % 4) {
    case 0:
      return int32_t(rng());
    case 1:
      return int32_t(rng() % 4096);
    case 2:
      return rng() % 2 ? INT32_MAX - int32_t(rng() % 3) : INT32_MIN + int32_t(rng() % 3);
    default:
      return int32_t(rng() % (1u << 22));
  }
}

}  // namespace

// The vector tables against the plain one on values no seeded case reaches:
// every lane bound, every wrap-around and every fallback shows here.
TEST(RowKernels, VectorTablesAgreeWithThePlainOneOnExtremeValues) {
  using namespace tonewright;
  const Kernels& plain = scalar_kernels();
  std::mt19937 rng(17);
  for (int trial = 0; trial < 30; ++trial) {
    ExportArgs a = small_case(uint64_t(300 + trial), 20, 2 * (37 + trial));
    a.mesh_off = 0;
    a.mesh_values.assign(4 * 13 * 17, 0);
    for (auto& m : a.mesh_values) m = trial % 3 ? int32_t(2000 + rng() % 6000) : any_int32(rng);
    a.mesh_step_x = trial % 5 ? int32_t((int64_t(16) << 20) / (a.width / 2)) : any_int32(rng);
    a.mesh_start_x = any_int32(rng) & 0xFFFFF;
    // Pixels of 0 to 3 show a wrapped product that a clamp would hide.
    for (auto& v : a.image) v = trial % 2 ? int32_t(rng() % (rng() % 2 ? 4u : 1u << 20)) : any_int32(rng);
    if (trial % 4 == 3) {
      for (auto& m : a.ccm) m = any_int32(rng);
      for (auto& w : a.wb_gain) w = any_int32(rng);
    }
    TmoParams p = as_params(a);
    const Geometry g = Geometry::of(p);
    const LutReader lut1(p.lut1, kWideLutSize);
    const LogKnotTable log_table(p.log_offset);
    DitherParams dp = p.dither;
    dp.on = true;
    dp.bits = uint16_t(trial % 17);
    dp.shift = uint16_t(trial % 9);
    const DitherTable dither(dp);
    const std::vector<int32_t> shifted = dither.shifted(dp.shift);
    LumaConsts c = luma_consts(p, g, lut1, &dither, &log_table);
    c.dither_shift = dp.shift & 31;
    c.dither_shifted = shifted.empty() ? nullptr : shifted.data();
    const MeshSampler mesh(p, g.luma_cols);
    const size_t lc = size_t(g.luma_cols), w = size_t(g.width);
    std::vector<uint16_t> words(lc);
    for (auto& word : words) word = uint16_t(rng());
    // Gain rows and curve tables for the output kernels.
    std::vector<uint64_t> own(lc), vert(lc);
    for (size_t k = 0; k < lc; ++k) {
      own[k] = trial % 2 ? uint64_t(rng() % (1u << 20)) : (uint64_t(rng()) << 32 | rng());
      vert[k] = uint64_t(rng()) << (rng() % 40);
    }
    for (int t = 0; t < available_kernel_count(); ++t) {
      const Kernels& k = available_kernels(t);
      const std::string where = std::string(k.name) + " trial " + std::to_string(trial);
      std::vector<int32_t> mesh_a(4 * lc), mesh_b(4 * lc);
      k.mesh_gains(mesh, 3, mesh_a.data());
      plain.mesh_gains(mesh, 3, mesh_b.data());
      ASSERT_EQ(mesh_a, mesh_b) << where << ": mesh gains";
      std::vector<uint32_t> luma_a(lc), luma_b(lc);
      std::vector<int32_t> log_a(lc), log_b(lc), corr_a(w), corr_b(w);
      std::vector<uint16_t> log16_a(lc), log16_b(lc);
      const int32_t* top = p.image;
      const int64_t la =
          k.luma_row(c, top, top + w, mesh_a.data(), words.data(), luma_a.data(), log_a.data(), log16_a.data());
      const int64_t lb =
          plain.luma_row(c, top, top + w, mesh_a.data(), words.data(), luma_b.data(), log_b.data(), log16_b.data());
      ASSERT_EQ(luma_a, luma_b) << where << ": luma";
      ASSERT_EQ(log_a, log_b) << where << ": log";
      ASSERT_EQ(log16_a, log16_b) << where << ": 16-bit log";
      ASSERT_EQ(la, lb) << where << ": largest log";
      k.corrected_row(c, g.width, trial % 2 == 1, top, mesh_a.data(), corr_a.data());
      plain.corrected_row(c, g.width, trial % 2 == 1, top, mesh_a.data(), corr_b.data());
      ASSERT_EQ(corr_a, corr_b) << where << ": corrected";
      std::vector<int32_t> out_a(w), out_b(w);
      std::vector<uint64_t> column(lc);
      // No clamp at all shows every bit of the scaled pixel.
      const uint32_t out_max = trial % 2 ? UINT32_MAX : uint32_t(rng() % 70000);
      k.apply_gain_row(g, own.data(), vert.data(), top, out_max, out_a.data(), column.data());
      plain.apply_gain_row(g, own.data(), vert.data(), top, out_max, out_b.data(), column.data());
      ASSERT_EQ(out_a, out_b) << where << ": output";
      // Corrected and scaled in one pass, in place, with and without
      // a neighbour row: as the two passes of the plain table.
      for (const uint64_t* v : {static_cast<const uint64_t*>(vert.data()), static_cast<const uint64_t*>(nullptr)}) {
        plain.corrected_row(c, g.width, trial % 2 == 1, top, mesh_a.data(), corr_b.data());
        plain.apply_gain_row(g, own.data(), v, corr_b.data(), out_max, out_b.data(), column.data());
        std::vector<int32_t> in_place(top, top + w);
        k.apply_corrected_row(c, trial % 2 == 1, mesh_a.data(), g, own.data(), v, in_place.data(), out_max,
                              in_place.data(), column.data());
        ASSERT_EQ(in_place, out_b) << where << ": corrected output" << (v ? "" : " without a neighbour");
      }
    }
  }
}

// Curves and LUT 2 entries anywhere in 32 bits: the curve products wrap
// modulo 2^64 and negative gains wrap through the strength mix.
TEST(RowKernels, VectorGainRowsAgreeWithThePlainOneOnExtremeCurves) {
  using namespace tonewright;
  std::mt19937 rng(23);
  for (int trial = 0; trial < 6; ++trial) {
    TmoParams p;
    p.height = 2 * (70 + 9 * trial);
    p.width = 2 * (75 + 13 * trial);
    p.block_size_code = trial % 2;
    p.out_max = int32_t(rng() % kOutputLutSize);
    const Geometry g = Geometry::of(p);
    const int bins = 70;
    const size_t windows = size_t(g.block_rows) * g.block_cols, cells = size_t(g.luma_rows) * g.luma_cols;
    std::vector<int32_t> curves(windows * bins), slopes(windows * bins), lut2(kOutputLutSize);
    std::vector<int64_t> pairs(windows * bins);
    for (size_t i = 0; i < curves.size(); ++i) {
      curves[i] = trial < 2 ? int32_t(rng() % (1u << 24)) : any_int32(rng);
      slopes[i] = trial < 2 ? int32_t(rng() % (1u << 16)) : any_int32(rng);
      pairs[i] = pair_curve_entry(curves[i], slopes[i]);
    }
    for (auto& v : lut2) v = trial % 3 ? int32_t(rng() % 16384) : any_int32(rng);
    std::vector<uint32_t> luma(cells);
    for (auto& y : luma) y = uint32_t(rng() % (rng() % 4 ? kLumaMax : 40));
    const LogKnotTable log_table(0.5);
    const std::vector<double> tent = tent_weights(g.block);
    const CornerWeights cw = corner_weights(tent, g.block);
    const std::vector<uint32_t> norms = corner_norms(tent, g.block, 2 * g.block_log2 + 10);
    LocalGainInputs in;
    in.luma = luma.data();
    in.log_table = &log_table;
    in.log_offset_fixed = -int32_t(rng() % 4000);
    in.log_fits_int32 = log_table.fits_int32(in.log_offset_fixed);
    in.curves = curves.data();
    in.slopes = slopes.data();
    in.curve_pairs = pairs.data();
    in.lut2 = lut2.data();
    in.weights = &cw;
    in.norms = norms.data();
    in.bins = bins;
    in.out_max = uint32_t(p.out_max);
    const uint16_t strength = uint16_t(trial == 5 ? 40 : rng() % 17);
    std::vector<uint64_t> expected(g.luma_cols), got(g.luma_cols);
    std::vector<int32_t> scratch(g.luma_cols);
    for (int t = 0; t + 1 < available_kernel_count(); ++t) {
      const Kernels& k = available_kernels(t);
      for (int r = 0; r < g.luma_rows; ++r) {
        scalar_kernels().local_gain_row(g, in, strength, r, expected.data(), scratch.data());
        k.local_gain_row(g, in, strength, r, got.data(), scratch.data());
        ASSERT_EQ(got, expected) << k.name << " trial " << trial << " row " << r;
      }
    }
  }
}
