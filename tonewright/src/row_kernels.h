// The per-pixel work of a call, one image or cell row at a time: mesh gains,
// luminance and log luminance, the corrected frame, gain rows and the output.
// Each instruction set has its own table of these; the pipeline asks for the
// best one the processor runs. Every table gives the same bits: the vector
// ones fall back to the per-cell functions below wherever a value leaves the
// range their lanes hold exactly.
#pragma once

#include <algorithm>
#include <cstdint>

#include "stages.h"

namespace tonewright {

// Per-call constants of the luminance and corrected-frame rows.
struct LumaConsts {
  int luma_cols = 0;
  int pos_r = 0, pos_b = 0, pos_g1 = 0, pos_g2 = 0;  // cell position of each colour
  uint64_t wb[4] = {};                               // white balance by cell position
  int64_t ccm[9] = {};
  uint64_t lw[4] = {};
  const LutReader* lut1 = nullptr;
  const DitherTable* dither = nullptr;  // null when dither is off
  int dither_shift = 0;
  const int32_t* dither_shifted = nullptr;  // dither values times 2^shift, or null if they overflow
  int32_t dither_sign_bit = -1;             // DitherTable::sign_bit
  const LogKnotTable* log_table = nullptr;  // null when no log is wanted
  int32_t log_offset_fixed = 0;
  bool log_fits_int32 = false;  // every lifted log value and step fits 31 bits
  bool mesh = false;
};

LumaConsts luma_consts(const TmoParams& p, const Geometry& g, const LutReader& lut1, const DitherTable* dither,
                       const LogKnotTable* log_table);

struct Kernels {
  const char* name;
  // Mesh gains of cell row `cell_row`, by cell position: out[k * luma_cols + c].
  void (*mesh_gains)(const MeshSampler& mesh, int cell_row, int32_t* out);
  // Luma of one cell row from its two pixel rows, and the log luminance
  // (narrowed to 32 bits) when c.log_table is set, and to 16 bits in
  // `log16` unless that is null. `mesh` holds the row's gains when c.mesh,
  // `words` the row's dither words when c.dither. Returns the largest log
  // value before narrowing.
  int64_t (*luma_row)(const LumaConsts& c, const int32_t* top, const int32_t* bottom, const int32_t* mesh,
                      const uint16_t* words, uint32_t* luma, int32_t* log, uint16_t* log16);
  // The corrected values of one pixel row; `bottom` says which row of the cells.
  void (*corrected_row)(const LumaConsts& c, int width, bool bottom, const int32_t* raw, const int32_t* mesh,
                        int32_t* out);
  // `log_row` holds luma_cols values of scratch.
  void (*local_gain_row)(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int row,
                         uint64_t* gain_row, int32_t* log_row);
  void (*global_gain_row)(const Geometry& g, const uint32_t* luma, const LutReader& lut3, uint16_t tm_strength, int row,
                          uint64_t* gain_row, int32_t* scratch);
  void (*apply_gain_row)(const Geometry& g, const uint64_t* own, const uint64_t* vert, const int32_t* src,
                         uint32_t out_max, int32_t* dst, uint64_t* column);
  // corrected_row of `raw` and then apply_gain_row on it in one pass: the
  // corrected row is never stored. `dst` may be `raw`.
  void (*apply_corrected_row)(const LumaConsts& c, bool bottom, const int32_t* mesh, const Geometry& g,
                              const uint64_t* own, const uint64_t* vert, const int32_t* raw, uint32_t out_max,
                              int32_t* dst, uint64_t* column);
};

// Cells [c_from, c_to) of a local gain row, one at a time.
void local_gain_cells(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int row, uint64_t* gain_row,
                      int c_from, int c_to);

// Plain C++, for builds without vector instruction sets.
const Kernels& scalar_kernels();
// The best table for this processor (the scalar one in a portable build).
const Kernels& best_kernels();
// Every table this build holds that the processor runs, best first.
int available_kernel_count();
const Kernels& available_kernels(int index);
// Tests make calls use one table; null restores the best.
void force_kernels(const Kernels* k);
const Kernels& call_kernels();

// ---- Per-cell arithmetic shared by every table ----------------------------

inline uint64_t as_u64(int64_t v) { return uint64_t(v); }

// A raw pixel in high precision (8 fractional bits) after the shading gain
// (12 fractional bits) and the white-balance gain, clamped at every step.
inline uint64_t high_precision(int32_t raw, bool mesh, int32_t mesh_gain, uint64_t wb) {
  uint64_t v;
  if (mesh) {
    v = (as_u64(raw) * as_u64(mesh_gain)) >> (GainQ12::frac_bits - HighPrecQ8::frac_bits);
    v = std::min(v, kHpMax);
  } else {
    v = as_u64(raw) << HighPrecQ8::frac_bits;
  }
  return std::min((v * wb) >> GainQ12::frac_bits, kHpMax);
}

// Colour matrix and luminance mix of one cell: the LUT 1 position.
inline uint32_t cell_mix(const LumaConsts& c, const uint64_t hp[4]) {
  const int64_t rgb[3] = {int64_t(hp[c.pos_r]), int64_t((hp[c.pos_g1] + hp[c.pos_g2]) >> 1), int64_t(hp[c.pos_b])};
  uint64_t m[3];
  for (int k = 0; k < 3; ++k) {
    const int64_t acc = c.ccm[3 * k] * rgb[0] + c.ccm[3 * k + 1] * rgb[1] + c.ccm[3 * k + 2] * rgb[2];
    // Truncating division equals trunc(acc / 4096.0) wherever the
    // result is not clamped anyway.
    const int64_t v = acc / GainQ12::one;
    m[k] = v < 0 ? 0 : std::min(uint64_t(v), kHpMax);
  }
  const uint64_t mx = std::max(m[0], std::max(m[1], m[2]));
  const uint64_t y = (c.lw[0] * m[0] + c.lw[1] * m[1] + c.lw[2] * m[2] + c.lw[3] * mx) >> LumaWeightQ16::frac_bits;
  return uint32_t(std::min<uint64_t>(y, kLumaMax));
}

// LUT 1 and dither of one cell's mix.
inline uint32_t cell_lut_dither(const LumaConsts& c, uint32_t mixed, uint16_t word) {
  uint64_t y = uint32_t((*c.lut1)[mixed]);
  if (c.dither) {
    // Positive values add, others subtract down to 0; written without a
    // branch since the sign is random.
    const int64_t n = (*c.dither)[word];
    const uint64_t up = uint64_t(std::max<int64_t>(n, 0)) << c.dither_shift;
    const uint64_t down = uint64_t(std::max<int64_t>(-n, 0)) << c.dither_shift;
    y += up;
    y = y > down ? y - down : 0;
  }
  return uint32_t(std::min<uint64_t>(y, kLumaMax));
}

// The high-precision values of the four pixels of cell `cc`.
inline void cell_hp(const LumaConsts& c, const int32_t* top, const int32_t* bottom, const int32_t* mesh, int cc,
                    uint64_t hp[4]) {
  const int32_t* rows[2] = {top, bottom};
  const size_t lc = size_t(c.luma_cols);
  for (int k = 0; k < 4; ++k)
    hp[k] = high_precision(rows[k >> 1][2 * cc + (k & 1)], c.mesh, c.mesh ? mesh[k * lc + cc] : 0, c.wb[k]);
}

inline int32_t cell_log(const LumaConsts& c, uint32_t luma, int64_t& largest) {
  const int64_t lifted = log_luminance(*c.log_table, luma, c.log_offset_fixed);
  largest = std::max(largest, lifted);
  return int32_t(std::min<int64_t>(lifted, INT32_MAX));
}

// A log value as the 16-bit log plane holds it; log values are never negative.
inline uint16_t log_to_16(int32_t log) { return uint16_t(std::min<int32_t>(log, UINT16_MAX)); }

// Cells [c_begin, c_end) of a luma row, one at a time.
inline int64_t luma_cells(const LumaConsts& c, const int32_t* top, const int32_t* bottom, const int32_t* mesh,
                          const uint16_t* words, uint32_t* luma, int32_t* log, uint16_t* log16, int c_begin,
                          int c_end) {
  int64_t largest = 0;
  for (int cc = c_begin; cc < c_end; ++cc) {
    uint64_t hp[4];
    cell_hp(c, top, bottom, mesh, cc, hp);
    const uint32_t y = cell_lut_dither(c, cell_mix(c, hp), c.dither ? words[cc] : 0);
    luma[cc] = y;
    if (!c.log_table) continue;
    log[cc] = cell_log(c, y, largest);
    if (log16) log16[cc] = log_to_16(log[cc]);
  }
  return largest;
}

// Pixel x of a corrected row.
inline int32_t corrected_pixel(const LumaConsts& c, bool bottom, const int32_t* raw, const int32_t* mesh, int x) {
  const int k = (bottom ? 2 : 0) + (x & 1);
  const int32_t gain = c.mesh ? mesh[size_t(k) * size_t(c.luma_cols) + size_t(x >> 1)] : 0;
  return int32_t(high_precision(raw[x], c.mesh, gain, c.wb[k]) >> HighPrecQ8::frac_bits);
}

// Pixels [x_begin, x_end) of a corrected row.
inline void corrected_pixels(const LumaConsts& c, bool bottom, const int32_t* raw, const int32_t* mesh, int32_t* out,
                             int x_begin, int x_end) {
  for (int x = x_begin; x < x_end; ++x) out[x] = corrected_pixel(c, bottom, raw, mesh, x);
}

inline uint32_t luma_divisor(uint32_t luma) {
  const uint32_t q = luma >> 2;  // drop the 2 fractional bits
  return q < 1 ? 1 : q;
}

// floor() for |x| < 2^62 without a library call (x86-64 has no rounding
// instruction before SSE4.1): truncate, then step down below zero.
inline int64_t floor_to_int64(double x) {
  const int64_t t = int64_t(x);
  return double(t) > x ? t - 1 : t;
}

// The gain of a cell from its blended curve value.
inline uint64_t local_cell_gain(const LocalGainInputs& in, uint64_t blended, uint32_t luma, uint16_t tm_strength,
                                int unity_shift) {
  const double q = luma_divisor(luma);
  const double gain = in.lut2[blended] * double(ToneGainQ14::one) / q;
  return mix_strength(uint64_t(floor_to_int64(gain)), tm_strength, unity_shift);
}

inline uint64_t global_cell_gain(uint32_t luma, int32_t lut3_value, uint16_t tm_strength, int unity_shift) {
  // 32-bit unsigned, as the hardware computes it.
  const uint32_t gain = (uint32_t(lut3_value) << ToneGainQ14::frac_bits) / luma_divisor(luma);
  return mix_strength(gain, tm_strength, unity_shift);
}

// Weights of the upsampling filter: own cell, side neighbour, diagonal.
constexpr uint64_t kOwnWeight = 9;
constexpr uint64_t kSideWeight = 3;
constexpr uint64_t kDiagonalWeight = 1;

// Gain of a pixel whose neighbours may lie outside the map.
inline uint64_t border_pixel_gain(const uint64_t* own_row, const uint64_t* vert_row, int cx, int hx, int luma_cols) {
  const bool has_h = hx >= 0 && hx < luma_cols;
  uint64_t sum = kOwnWeight * own_row[cx];
  uint64_t div = kOwnWeight;
  if (vert_row) {
    sum += kSideWeight * vert_row[cx];
    div += kSideWeight;
  }
  if (has_h) {
    sum += kSideWeight * own_row[hx];
    div += kSideWeight;
  }
  if (vert_row && has_h) {
    sum += kDiagonalWeight * vert_row[hx];
    div += kDiagonalWeight;
  }
  return sum / div;
}

inline int32_t scale_pixel(int32_t src, uint64_t gain, uint32_t out_max) {
  const uint32_t v = uint32_t((uint64_t(int64_t(src)) * gain) >> ToneGainQ14::frac_bits);
  return int32_t(v < out_max ? v : out_max);
}

// The pixel at x of a row that needs a border gain: at either end of the
// row, or anywhere in a row without a vertical neighbour. `source(x)` gives
// the pixel the gain applies to.
template <typename Source>
inline void border_pixel(const uint64_t* own, const uint64_t* vert, int luma_cols, const Source& source, int x,
                         uint32_t out_max, int32_t* dst) {
  const int cx = x >> 1;
  const int hx = (x & 1) ? cx + 1 : cx - 1;
  dst[x] = scale_pixel(source(x), border_pixel_gain(own, vert, cx, hx, luma_cols), out_max);
}

// Pixels of cell cx whose four neighbour cells all exist, from the column
// blends of apply_gain_row: the even one (neighbour to the left) ...
template <typename Source>
inline void inner_even_pixel(const uint64_t* column, const Source& source, int cx, uint32_t out_max, int32_t* dst) {
  dst[2 * cx] = scale_pixel(source(2 * cx), (kSideWeight * column[cx] + column[cx - 1]) >> 4, out_max);
}
// ... and the odd one (neighbour to the right).
template <typename Source>
inline void inner_odd_pixel(const uint64_t* column, const Source& source, int cx, uint32_t out_max, int32_t* dst) {
  dst[2 * cx + 1] = scale_pixel(source(2 * cx + 1), (kSideWeight * column[cx] + column[cx + 1]) >> 4, out_max);
}

// apply_gain_row one pixel at a time, with the pixels from `source(x)`,
// which is called for x before dst[x] is written and for no other pixel.
template <typename Source>
void apply_gain_pixels(const Geometry& g, const uint64_t* own, const uint64_t* vert, const Source& source,
                       uint32_t out_max, int32_t* dst, uint64_t* column) {
  const int lc = g.luma_cols;
  border_pixel(own, vert, lc, source, 0, out_max, dst);
  if (g.width > 1) border_pixel(own, vert, lc, source, g.width - 1, out_max, dst);
  if (!vert) {
    for (int x = 1; x < g.width - 1; ++x) {
      const int cx = x >> 1;
      const int hx = (x & 1) ? cx + 1 : cx - 1;
      const uint64_t sum = kOwnWeight * own[cx] + kSideWeight * own[hx];
      dst[x] = scale_pixel(source(x), sum / (kOwnWeight + kSideWeight), out_max);
    }
    return;
  }
  // With all four cells present 9a + 3v + 3h + d = 3(3a + v) + (3h + d):
  // blend each column vertically once, then horizontally. The weights
  // sum to 16.
  for (int cx = 0; cx < lc; ++cx) column[cx] = kSideWeight * own[cx] + kDiagonalWeight * vert[cx];
  for (int cx = 1; cx < lc; ++cx) inner_even_pixel(column, source, cx, out_max, dst);
  for (int cx = 0; cx < lc - 1; ++cx) inner_odd_pixel(column, source, cx, out_max, dst);
}

// apply_corrected_row one pixel at a time.
void apply_corrected_pixels(const LumaConsts& c, bool bottom, const int32_t* mesh, const Geometry& g,
                            const uint64_t* own, const uint64_t* vert, const int32_t* raw, uint32_t out_max,
                            int32_t* dst, uint64_t* column);

}  // namespace tonewright
