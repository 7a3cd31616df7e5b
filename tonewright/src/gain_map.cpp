// Tone gain map and output frame: per-cell gains from the blended block
// curves (or LUT 3), mixed with a linear rescale, upsampled 9-3-3-1 to
// pixels and applied to the frame.
#include <algorithm>
#include <cmath>

#include "row_kernels.h"

namespace tonewright {

namespace {

// Extra bits of the edge-span norms above the blend shift.
constexpr int kNormExtraBits = 10;

// One window's curve: the value f(w) of the blend.
struct Window {
  const int32_t* curve;
  const int32_t* slope;
};

enum class SpanKind { interior, top, bottom, left, right, single };

}  // namespace

uint64_t mix_strength(uint64_t gain, uint16_t tm_strength, int unity_shift) {
  // A strength above 16 makes the linear share negative; it wraps like the
  // hardware's unsigned arithmetic.
  const uint64_t linear_share = uint64_t(int64_t(16) - tm_strength) << unity_shift;
  return (gain * tm_strength + linear_share) >> 4;
}

void local_gain_row(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int r, uint64_t* gain_row) {
  local_gain_cells(g, in, tm_strength, r, gain_row, 0, g.luma_cols);
}

void local_gain_cells(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int r, uint64_t* gain_row,
                      int c_from, int c_to) {
  const int half = g.half;
  const int half_log2 = g.block_log2 - 1;
  const int blend_shift = 2 * g.block_log2;
  const int edge_shift = blend_shift + kNormExtraBits;
  auto window = [&](int br, int bc) {
    const size_t offset = (size_t(br) * g.block_cols + bc) * in.bins;
    return Window{in.curves + offset, in.slopes + offset};
  };
  {
    const int R = r >> half_log2;
    const int i = r & (half - 1);
    const bool row_inner = R >= 1 && R <= g.block_rows - 1;
    for (int C = c_from >> (g.block_log2 - 1); C < g.span_cols() && C * half < c_to; ++C) {
      const bool col_inner = C >= 1 && C <= g.block_cols - 1;
      SpanKind kind;
      Window w[4] = {};
      if (row_inner && col_inner) {
        kind = SpanKind::interior;
        w[0] = window(R, C);
        w[1] = window(R, C - 1);
        w[2] = window(R - 1, C);
        w[3] = window(R - 1, C - 1);
      } else if (col_inner) {
        kind = R == 0 ? SpanKind::top : SpanKind::bottom;
        const int wr = R == 0 ? 0 : R - 1;
        // The weight slots follow the interior layout.
        if (R == 0) {
          w[0] = window(wr, C);
          w[1] = window(wr, C - 1);
        } else {
          w[2] = window(wr, C);
          w[3] = window(wr, C - 1);
        }
      } else if (row_inner) {
        kind = C == 0 ? SpanKind::left : SpanKind::right;
        if (C == 0) {
          w[0] = window(R, 0);
          w[2] = window(R - 1, 0);
        } else {
          w[1] = window(R, C - 1);
          w[3] = window(R - 1, C - 1);
        }
      } else {
        kind = SpanKind::single;
        w[0] = window(R == 0 ? 0 : g.block_rows - 1, C == 0 ? 0 : g.block_cols - 1);
      }
      const int c_begin = C * half;
      const int c_end = std::min(std::min(c_begin + half, g.luma_cols), c_to);
      const size_t row_base = size_t(r) * g.luma_cols;
      for (int c = std::max(c_begin, c_from); c < c_end; ++c) {
        const int j = c - c_begin;
        const uint32_t* cw = in.weights->at(i, j);
        const uint32_t luma = in.luma[row_base + c];
        const int32_t value =
            int32_t(std::min<int64_t>(log_luminance(*in.log_table, luma, in.log_offset_fixed), INT32_MAX));
        auto f = [&](int k) { return uint64_t(eval_curve(value, w[k].curve, w[k].slope, in.bins, in.out_max)); };
        uint64_t v;
        switch (kind) {
          case SpanKind::interior:
            v = (cw[0] * f(0) + cw[1] * f(1) + cw[2] * f(2) + cw[3] * f(3)) >> blend_shift;
            break;
          case SpanKind::top:
            v = ((cw[1] * f(1) + cw[0] * f(0)) * in.norms[i]) >> edge_shift;
            break;
          case SpanKind::bottom:
            // The bottom and right spans take the norm mirrored across
            // the span, so their two weights times it reach the same
            // total as the top and left ones.
            v = ((cw[3] * f(3) + cw[2] * f(2)) * in.norms[half - 1 - i]) >> edge_shift;
            break;
          case SpanKind::left:
            v = ((cw[2] * f(2) + cw[0] * f(0)) * in.norms[j]) >> edge_shift;
            break;
          case SpanKind::right:
            v = ((cw[3] * f(3) + cw[1] * f(1)) * in.norms[half - 1 - j]) >> edge_shift;
            break;
          default:
            v = f(0);
            break;
        }
        gain_row[c] = local_cell_gain(in, v, luma, tm_strength, g.unity_shift);
      }
    }
  }
}

void local_gains(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int row_begin, int row_end,
                 uint64_t* gain_map) {
  for (int r = row_begin; r < row_end; ++r) local_gain_row(g, in, tm_strength, r, gain_map + size_t(r) * g.luma_cols);
}

void global_gain_row(const Geometry& g, const uint32_t* luma, const LutReader& lut3, uint16_t tm_strength, int r,
                     uint64_t* gain_row) {
  const uint32_t* luma_row = luma + size_t(r) * g.luma_cols;
  for (int c = 0; c < g.luma_cols; ++c) {
    const uint32_t y = luma_row[c];
    gain_row[c] = global_cell_gain(y, lut3[y], tm_strength, g.unity_shift);
  }
}

void apply_gain_row(const Geometry& g, const uint64_t* own, const uint64_t* vert, const int32_t* s, uint32_t out_max,
                    int32_t* d, uint64_t* column) {
  apply_gain_pixels(
      g, own, vert, [s](int x) { return s[x]; }, out_max, d, column);
}

void apply_corrected_pixels(const LumaConsts& c, bool bottom, const int32_t* mesh, const Geometry& g,
                            const uint64_t* own, const uint64_t* vert, const int32_t* raw, uint32_t out_max,
                            int32_t* dst, uint64_t* column) {
  const auto corrected = [&](int x) { return corrected_pixel(c, bottom, raw, mesh, x); };
  apply_gain_pixels(g, own, vert, corrected, out_max, dst, column);
}

void apply_gains(const Geometry& g, const uint64_t* gain_map, const int32_t* src, uint32_t out_max, int row_begin,
                 int row_end, int32_t* dst, uint64_t* scratch) {
  for (int y = row_begin; y < row_end; ++y) {
    const int cy = y >> 1;
    const int vy = neighbour_cell_row(y);
    const uint64_t* vert = (vy >= 0 && vy < g.luma_rows) ? gain_map + size_t(vy) * g.luma_cols : nullptr;
    apply_gain_row(g, gain_map + size_t(cy) * g.luma_cols, vert, src + size_t(y) * g.width, out_max,
                   dst + size_t(y) * g.width, scratch);
  }
}

}  // namespace tonewright
