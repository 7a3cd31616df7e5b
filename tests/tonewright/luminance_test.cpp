// The corrected frame and the luminance plane.
#include <gtest/gtest.h>

#include "buffer.h"
#include "row_kernels.h"
#include "test_support.h"

using namespace tonewright;

namespace {

struct LumaRun {
  std::vector<uint32_t> luma;
  std::vector<int32_t> corrected;
};

// Runs the luminance rows and the corrected rows over the whole frame with
// an identity LUT 1, through the kernels calls use.
LumaRun run_stage(const TmoParams& p) {
  static const tonewright_cases::LutArrays identity = tonewright_cases::identity_wide_lut();
  const LutReader lut1(test_support::as_descriptor(identity), kWideLutSize);
  const Geometry g = Geometry::of(p);
  const size_t cells = size_t(g.luma_rows) * g.luma_cols;
  std::unique_ptr<DitherTable> dither;
  if (p.dither.on) dither = std::make_unique<DitherTable>(p.dither);
  LumaRun run{std::vector<uint32_t>(cells), std::vector<int32_t>(size_t(p.height) * p.width)};
  std::vector<int32_t> mesh_row(size_t(g.luma_cols) * 4);
  std::vector<uint16_t> words(size_t(g.luma_cols));
  std::unique_ptr<MeshSampler> mesh;
  if (!p.mesh_off) mesh = std::make_unique<MeshSampler>(p, g.luma_cols);
  const LumaConsts c = luma_consts(p, g, lut1, dither.get(), nullptr);
  const Kernels& k = call_kernels();
  DitherGenerator gen = dither_at(p.dither, 0);
  for (int cr = 0; cr < g.luma_rows; ++cr) {
    if (mesh) k.mesh_gains(*mesh, cr, mesh_row.data());
    for (auto& w : words) w = gen.step();
    const int32_t* top = p.image + size_t(2 * cr) * p.width;
    k.luma_row(c, top, top + p.width, mesh_row.data(), words.data(), run.luma.data() + size_t(cr) * g.luma_cols,
               nullptr, nullptr);
    for (int half = 0; half < 2; ++half)
      k.corrected_row(c, p.width, half == 1, top + half * p.width, mesh_row.data(),
                      run.corrected.data() + size_t(2 * cr + half) * p.width);
  }
  return run;
}

TmoParams plain_params(std::vector<int32_t>& frame, int height, int width) {
  TmoParams p;
  p.image = frame.data();
  p.height = height;
  p.width = width;
  p.luma_w[0] = 256;
  p.luma_w[1] = 512;
  p.luma_w[2] = 256;
  return p;
}

}  // namespace

TEST(Luminance, UnitGainsKeepTheFrameAndSaturateAbove20Bits) {
  std::vector<int32_t> frame = {0, 1, 1048575, 1048576, 5000000, 77, 12345, 1 << 19};
  const LumaRun run = run_stage(plain_params(frame, 2, 4));
  EXPECT_EQ(run.corrected, (std::vector<int32_t>{0, 1, 1048575, 1048575, 1048575, 77, 12345, 1 << 19}));
}

TEST(Luminance, CellColoursMixIntoTwentyTwoBits) {
  // RGGB cell R=1000, G=(2000+3000)/2, B=4000 in 20 bits; weights 256/512/256
  // of 2^16 with 8 extra HP bits: Y = 4 * (R/4 + G/2 + B/4) = R + 2G + B.
  std::vector<int32_t> frame = {1000, 2000, 3000, 4000};
  TmoParams p = plain_params(frame, 2, 2);
  EXPECT_EQ(run_stage(p).luma[0], 1000u + 5000u + 4000u);
  p.cfa_pattern = 3;    // B at position 0, R at 3
  p.wb_gain[0] = 8192;  // doubles R = the 4000
  EXPECT_EQ(run_stage(p).luma[0], 8000u + 5000u + 1000u);
  p.luma_w[3] = 1024;  // plus the largest matrixed channel R' = 8000, times 1024 * 256 / 2^16
  EXPECT_EQ(run_stage(p).luma[0], 8000u + 5000u + 1000u + 8000u * 4);
}

TEST(Luminance, NegativeMatrixOutputsGiveBlack) {
  std::vector<int32_t> frame = {1000, 2000, 3000, 4000};
  TmoParams p = plain_params(frame, 2, 2);
  for (int k = 0; k < 9; ++k) p.ccm[k] = -4096;
  EXPECT_EQ(run_stage(p).luma[0], 0u);
}

TEST(Luminance, DitherOffLeavesLumaIndependentOfItsParameters) {
  std::vector<int32_t> frame(8 * 12);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = int32_t(i * 9000);
  TmoParams p = plain_params(frame, 8, 12);
  p.dither.bits = 9;
  p.dither.taps[0] = 0xB400;
  p.dither.seeds[0] = 77;
  const LumaRun a = run_stage(p);
  p.dither.bits = 3;
  p.dither.seeds[0] = 5;
  p.dither.shift = 4;
  EXPECT_EQ(a.luma, run_stage(p).luma);
  p.dither.on = true;
  EXPECT_NE(a.luma, run_stage(p).luma);
}

TEST(Luminance, DitherSubtractsDownToZeroAndAddsUpToTheTop) {
  std::vector<int32_t> frame = {0, 0, 0, 0, 1048575, 1048575, 1048575, 1048575};
  TmoParams p = plain_params(frame, 2, 4);
  p.dither.on = true;
  p.dither.bits = 12;
  p.dither.is_signed = true;
  p.dither.shift = 20 + 32;  // only the low 5 bits count: a shift of 20
  p.dither.widths[0] = p.dither.widths[1] = 16;
  p.dither.seeds[0] = 1;
  p.dither.taps[0] = 0xB400;  // first word 0xB400: value +1024
  const LumaRun run = run_stage(p);
  EXPECT_EQ(run.luma[0], kLumaMax);  // 0 + 1024 << 20, clamped
  EXPECT_EQ(run.luma[1], 0u);        // word 0x5A00: -513 << 20 takes it to 0
}

TEST(Luminance, UniformMeshScalesEveryPixel) {
  std::vector<int32_t> frame(6 * 8);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = int32_t(1000 + i);
  TmoParams p = plain_params(frame, 6, 8);
  std::vector<int32_t> mesh(4 * 13 * 17, 8192);  // gain 2.0 everywhere
  p.mesh_off = false;
  p.mesh_values = mesh.data();
  p.mesh_rows = 13;
  p.mesh_cols = 17;
  p.mesh_step_x = 1 << 20;
  p.mesh_step_y = 1 << 20;
  const LumaRun run = run_stage(p);
  for (size_t i = 0; i < frame.size(); ++i) EXPECT_EQ(run.corrected[i], 2 * frame[i]) << i;
}

TEST(Luminance, MeshPositionsPastTheLastRowReadTheLastRow) {
  std::vector<int32_t> frame(4 * 4, 4096);
  TmoParams p = plain_params(frame, 4, 4);
  std::vector<int32_t> mesh(4 * 13 * 17, 4096);
  for (int plane = 0; plane < 4; ++plane)
    for (int c = 0; c < 17; ++c) mesh[plane * 221 + 12 * 17 + c] = 3 * 4096;  // last row: gain 3
  p.mesh_off = false;
  p.mesh_values = mesh.data();
  p.mesh_rows = 13;
  p.mesh_cols = 17;
  p.mesh_step_y = 0x7FFFFFFF;  // jumps to mesh row 2047, then wraps to row 4095
  p.mesh_step_x = 1 << 19;
  const LumaRun run = run_stage(p);
  for (int32_t v : run.corrected) EXPECT_EQ(v, 3 * 4096);
  // A taller mesh: rows beyond the 13 given are zero, so the last one is too.
  p.mesh_rows = 20;
  for (int32_t v : run_stage(p).corrected) EXPECT_EQ(v, 0);
}
