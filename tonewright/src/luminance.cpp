// Corrected frame and luminance plane: shading mesh, white balance, colour
// matrix, luminance mix, LUT 1 and dither, one 2x2 Bayer cell at a time.
#include <algorithm>
#include <cstdint>

#include "row_kernels.h"

namespace tonewright {

namespace {

// The mesh values the caller passes: 4 planes of this many rows and columns.
constexpr int kMeshValueRows = MeshSampler::kValueRows;
constexpr int kMeshValueCols = MeshSampler::kValueCols;
constexpr int kCellPositions = 4;
constexpr uint32_t kMeshIndexMax = 0xFFFFFFFFu >> MeshPosQ20::frac_bits;

// Position (0 top-left .. 3 bottom-right) of R, B and the greens per pattern.
struct CellLayout {
  int r, b, g1, g2;
};
constexpr CellLayout kLayout[4] = {{0, 3, 1, 2}, {1, 2, 0, 3}, {2, 1, 0, 3}, {3, 0, 1, 2}};
// Mesh planes arrive in pattern-0 order; the plane used at each cell position.
constexpr int kMeshPlaneOfPosition[4][4] = {{0, 1, 2, 3}, {1, 0, 3, 2}, {2, 3, 0, 1}, {3, 2, 1, 0}};

enum WbChannel { kWbR = 0, kWbG = 1, kWbB = 2 };

// White-balance gain of each cell position.
void wb_gains(const TmoParams& p, uint64_t wb[kCellPositions]) {
  const CellLayout lay = kLayout[p.cfa_pattern];
  int channel[kCellPositions];
  channel[lay.r] = kWbR;
  channel[lay.b] = kWbB;
  channel[lay.g1] = channel[lay.g2] = kWbG;
  for (int k = 0; k < kCellPositions; ++k) wb[k] = as_u64(p.wb_gain[channel[k]]);
}

}  // namespace

MeshSampler::MeshSampler(const TmoParams& p, int luma_cols) : p_(p) {
  for (int k = 0; k < kCellPositions; ++k) plane_of_position_[k] = kMeshPlaneOfPosition[p.cfa_pattern][k];
  col_w0_.resize(luma_cols);
  col_w1_.resize(luma_cols);
  col_w1_int_.resize(luma_cols);
  uint32_t pos = uint32_t(p.mesh_start_x >> 1);
  for (int c = 0; c < luma_cols; ++c) {
    pos += uint32_t(p.mesh_step_x);  // the even column advances before use
    Tap t = tap_at(pos, p.mesh_cols);
    // Columns past the given values all read the zero slot.
    t.a = std::min(t.a, kMeshValueCols);
    t.b = std::min(t.b, kMeshValueCols);
    col_w0_[c] = double(t.w0);
    col_w1_[c] = double(t.w1);
    col_w1_int_[c] = int32_t(t.w1);
    if (runs_.empty() || runs_.back().a != t.a || runs_.back().b != t.b) runs_.push_back({c, c, t.a, t.b});
    runs_.back().end = c + 1;
  }
}

MeshSampler::Tap MeshSampler::tap_at(uint32_t pos, int count) const {
  const uint32_t idx = pos >> MeshPosQ20::frac_bits;
  Tap t;
  if (int64_t(idx) + 1 >= count) {
    // Nothing beyond the last row or column to blend with: it is used
    // alone (and an index past it reads it).
    t.a = t.b = int(std::min<int64_t>(idx, count - 1));
    t.w0 = MeshPosQ20::one;
    t.w1 = 0;
  } else {
    t.a = int(idx);
    t.b = int(idx) + 1;
    t.w1 = int64_t(pos) - (int64_t(idx) << MeshPosQ20::frac_bits);
    t.w0 = ((int64_t(idx) + 1) << MeshPosQ20::frac_bits) - int64_t(pos);
  }
  return t;
}

int64_t MeshSampler::value(int plane, int row, int col) const {
  // Cells beyond the 13 x 17 values the caller passes are zero.
  if (row >= kMeshValueRows || col >= kMeshValueCols) return 0;
  return p_.mesh_values[plane * kMeshValueRows * kMeshValueCols + row * kMeshValueCols + col];
}

void MeshSampler::vertical(int cell_row, int64_t out[4][kMeshValueCols + 1]) const {
  static_assert(kMeshIndexMax < 4096, "mesh index fits the tap range");
  const uint32_t pos = uint32_t(p_.mesh_start_y >> 1) + uint32_t(cell_row + 1) * uint32_t(p_.mesh_step_y);
  const Tap row = tap_at(pos, p_.mesh_rows);
  for (int k = 0; k < kCellPositions; ++k) {
    const int plane = plane_of_position_[k];
    for (int c = 0; c < kMeshValueCols; ++c)
      out[k][c] = (value(plane, row.b, c) * row.w1 + value(plane, row.a, c) * row.w0) >> MeshPosQ20::frac_bits;
    out[k][kMeshValueCols] = 0;
  }
}

void MeshSampler::row_gains(int cell_row, int32_t* out) const {
  // The weights of a row and of a column each sum to one, so every gain
  // lies between two of the caller's 32-bit values.
  int64_t v[kCellPositions][kMeshValueCols + 1];
  vertical(cell_row, v);
  const size_t lc = col_w0_.size();
  for (const Run& run : runs_) {
    for (int k = 0; k < kCellPositions; ++k) {
      const int64_t va = v[k][run.a], vb = v[k][run.b];
      for (int c = run.begin; c < run.end; ++c)
        out[k * lc + size_t(c)] =
            int32_t((vb * int64_t(col_w1_[c]) + va * int64_t(col_w0_[c])) >> MeshPosQ20::frac_bits);
    }
  }
}

LumaConsts luma_consts(const TmoParams& p, const Geometry& g, const LutReader& lut1, const DitherTable* dither,
                       const LogKnotTable* log_table) {
  LumaConsts c;
  c.luma_cols = g.luma_cols;
  const CellLayout lay = kLayout[p.cfa_pattern];
  c.pos_r = lay.r;
  c.pos_b = lay.b;
  c.pos_g1 = lay.g1;
  c.pos_g2 = lay.g2;
  wb_gains(p, c.wb);
  for (int k = 0; k < 9; ++k) c.ccm[k] = p.ccm[k];
  for (int k = 0; k < 4; ++k) c.lw[k] = as_u64(p.luma_w[k]);
  c.lut1 = &lut1;
  c.dither = dither;
  c.dither_shift = p.dither.shift & 31;
  if (dither) c.dither_sign_bit = dither->sign_bit();
  c.log_table = log_table;
  c.log_offset_fixed = g.log_offset_fixed;
  c.log_fits_int32 = log_table && log_table->fits_int32(g.log_offset_fixed);
  c.mesh = !p.mesh_off;
  return c;
}

namespace {

int64_t scalar_luma_row(const LumaConsts& c, const int32_t* top, const int32_t* bottom, const int32_t* mesh,
                        const uint16_t* words, uint32_t* luma, int32_t* log, uint16_t* log16) {
  return luma_cells(c, top, bottom, mesh, words, luma, log, log16, 0, c.luma_cols);
}

void scalar_corrected_row(const LumaConsts& c, int width, bool bottom, const int32_t* raw, const int32_t* mesh,
                          int32_t* out) {
  corrected_pixels(c, bottom, raw, mesh, out, 0, width);
}

void scalar_mesh_gains(const MeshSampler& mesh, int cell_row, int32_t* out) { mesh.row_gains(cell_row, out); }

void scalar_global_gain_row(const Geometry& g, const uint32_t* luma, const LutReader& lut3, uint16_t tm_strength,
                            int row, uint64_t* gain_row, int32_t*) {
  global_gain_row(g, luma, lut3, tm_strength, row, gain_row);
}

void scalar_local_gain_row(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int row,
                           uint64_t* gain_row, int32_t*) {
  local_gain_row(g, in, tm_strength, row, gain_row);
}

}  // namespace

const Kernels& scalar_kernels() {
  static const Kernels k = {"scalar",
                            scalar_mesh_gains,
                            scalar_luma_row,
                            scalar_corrected_row,
                            scalar_local_gain_row,
                            scalar_global_gain_row,
                            apply_gain_row,
                            apply_corrected_pixels};
  return k;
}

}  // namespace tonewright
