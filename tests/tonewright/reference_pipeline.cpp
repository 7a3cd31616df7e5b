#include "reference_pipeline.h"

#include <algorithm>
#include <cmath>

#include "fixed_point.h"
#include "stages.h"

namespace reference {

using namespace tonewright;

namespace {

struct Mesh {
  int rows, cols;
  std::vector<int32_t> v;  // rows x cols x 4
  int32_t at(int r, int c, int plane) const { return v[(size_t(r) * cols + c) * 4 + plane]; }
};

Mesh load_mesh(const TmoParams& p) {
  Mesh m{p.mesh_off ? 0 : p.mesh_rows, p.mesh_off ? 0 : p.mesh_cols, {}};
  m.v.assign(size_t(m.rows) * m.cols * 4, 0);
  if (p.mesh_off) return m;
  size_t k = 0;
  for (int plane = 0; plane < 4; ++plane)
    for (int row = 0; row < 13; ++row)
      for (int col = 0; col < 17; ++col) m.v[(size_t(row) * m.cols + col) * 4 + plane] = p.mesh_values[k++];
  return m;
}

// (M[idx+1] * w1 + M[idx] * w0) >> 20, or M[idx] alone at the last entry.
template <typename Get>
int64_t mesh_blend(uint32_t pos, int count, Get get) {
  const uint32_t idx = pos >> 20;
  if (int64_t(idx) + 1 > count - 1) return get(std::min<int64_t>(idx, count - 1));
  const int64_t w1 = int64_t(pos) - (int64_t(idx) << 20);
  const int64_t w0 = ((int64_t(idx) + 1) << 20) - int64_t(pos);
  return (get(idx + 1) * w1 + get(idx) * w0) >> 20;
}

void luminance(const TmoParams& p, Planes& out) {
  const int H = p.height, W = p.width, LR = H / 2, LC = W / 2;
  const uint64_t hp_max = 256 * (uint64_t(1048575) + 1) - 1;
  static const int perm[4][4] = {{0, 1, 2, 3}, {1, 0, 3, 2}, {2, 3, 0, 1}, {3, 2, 1, 0}};
  static const int r_at[4] = {0, 1, 2, 3}, b_at[4] = {3, 2, 1, 0};
  static const int g_at[4][2] = {{1, 2}, {0, 3}, {0, 3}, {1, 2}};
  const Mesh mesh = load_mesh(p);

  std::vector<uint64_t> hp(size_t(H) * W);
  out.corrected.assign(size_t(H) * W, 0);
  uint32_t py = uint32_t(p.mesh_start_y >> 1);
  std::vector<int64_t> column_gain(std::max(mesh.cols, 1) * 4);
  for (int y = 0; y < H; ++y) {
    if (!p.mesh_off) {
      if ((y & 1) == 0) py += uint32_t(p.mesh_step_y);
      for (int c = 0; c < mesh.cols; ++c)
        for (int plane = 0; plane < 4; ++plane)
          column_gain[size_t(c) * 4 + plane] =
              mesh_blend(py, mesh.rows, [&](int64_t r) { return int64_t(mesh.at(int(r), c, plane)); });
    }
    uint32_t px = uint32_t(p.mesh_start_x >> 1);
    for (int x = 0; x < W; ++x) {
      const int64_t raw = p.image[size_t(y) * W + x];
      const int position = (y & 1) * 2 + (x & 1);
      uint64_t v;
      if (p.mesh_off) {
        v = uint64_t(raw) << 8;
      } else {
        if ((x & 1) == 0) px += uint32_t(p.mesh_step_x);
        const int plane = perm[p.cfa_pattern][position];
        const int64_t gain = mesh_blend(px, mesh.cols, [&](int64_t c) { return column_gain[size_t(c) * 4 + plane]; });
        v = std::min((uint64_t(raw) * uint64_t(gain)) >> 4, hp_max);
      }
      int32_t wb = p.wb_gain[1];
      if (position == r_at[p.cfa_pattern]) wb = p.wb_gain[0];
      if (position == b_at[p.cfa_pattern]) wb = p.wb_gain[2];
      v = std::min((v * uint64_t(int64_t(wb))) >> 12, hp_max);
      hp[size_t(y) * W + x] = v;
      out.corrected[size_t(y) * W + x] = int32_t(v >> 8);
    }
  }

  std::vector<int32_t> lut1(size_t(1) << 22, 0);
  expand_segmented_lut(lut1.data(), p.lut1);
  DitherGenerator gen;
  gen.seed(p.dither.widths, p.dither.seeds);
  gen.set_taps(p.dither.taps);
  const int int_bits = p.dither.is_signed ? p.dither.bits - 1 : p.dither.bits;

  out.luma.assign(size_t(LR) * LC, 0);
  for (int r = 0; r < LR; ++r) {
    for (int c = 0; c < LC; ++c) {
      auto at = [&](int position) { return hp[size_t(2 * r + (position >> 1)) * W + 2 * c + (position & 1)]; };
      const int64_t R = int64_t(at(r_at[p.cfa_pattern]));
      const int64_t B = int64_t(at(b_at[p.cfa_pattern]));
      const int64_t G = int64_t((at(g_at[p.cfa_pattern][0]) + at(g_at[p.cfa_pattern][1])) >> 1);
      uint64_t m[3];
      for (int k = 0; k < 3; ++k) {
        const int64_t acc = int64_t(p.ccm[3 * k]) * R + int64_t(p.ccm[3 * k + 1]) * G + int64_t(p.ccm[3 * k + 2]) * B;
        const double t = std::trunc(double(acc) / 4096.0);
        m[k] = t < 0 ? 0 : (t > double(hp_max) ? hp_max : uint64_t(t));
      }
      const uint64_t mx = std::max({m[0], m[1], m[2]});
      uint64_t Y = (uint64_t(int64_t(p.luma_w[0])) * m[0] + uint64_t(int64_t(p.luma_w[1])) * m[1] +
                    uint64_t(int64_t(p.luma_w[2])) * m[2] + uint64_t(int64_t(p.luma_w[3])) * mx) >>
                   16;
      Y = std::min<uint64_t>(Y, 4194303);
      Y = uint32_t(lut1[Y]);
      const int64_t n = int64_t(std::trunc(gen.draw(p.dither.bits, int_bits, p.dither.is_signed)));
      if (p.dither.on) {
        const int s = p.dither.shift & 31;
        if (n > 0) {
          Y += uint64_t(n) << s;
        } else {
          const uint64_t mag = uint64_t(-n) << s;
          Y = Y > mag ? Y - mag : 0;
        }
      }
      out.luma[size_t(r) * LC + c] = uint32_t(std::min<uint64_t>(Y, 4194303));
    }
  }
}

int32_t sat(double x) { return saturate_cast<int32_t>(x); }

void curves(const TmoParams& p, const Geometry& g, Planes& out) {
  const int LR = g.luma_rows, LC = g.luma_cols, bins = p.bins, block = g.block, half = block / 2;
  const int32_t lof = g.log_offset_fixed;
  std::vector<int32_t> log_table(size_t(1) << 22);
  build_log_lut(log_table.data(), p.log_offset);
  resample_at_knots(log_table.data());

  out.log_luma.assign(size_t(LR) * LC, 0);
  std::vector<int32_t> global_hist(bins, 0);
  for (size_t i = 0; i < out.log_luma.size(); ++i) {
    const int32_t L = log_table[std::min<uint32_t>(out.luma[i], 4194303)];
    out.log_luma[i] = L < lof ? 0 : L - lof;
    global_hist[out.log_luma[i] >> 8] += 1;
  }
  const int BR = g.block_rows, BC = g.block_cols;
  std::vector<int32_t> block_hist(size_t(BR) * BC * bins, 0);
  for (int br = 0; br < BR; ++br)
    for (int bc = 0; bc < BC; ++bc)
      for (int r = br * half; r < std::min(br * half + block, LR); ++r)
        for (int c = bc * half; c < std::min(bc * half + block, LC); ++c) {
          int32_t& n = block_hist[(size_t(br) * BC + bc) * bins + (out.log_luma[size_t(r) * LC + c] >> 8)];
          n += 1;
          if (n == block * block) n = block * block - 1;
        }
  const int top = int(std::floor((std::log10(1048575.0) - lof * 0.00390625 * double(0.1f)) / double(0.1f)));
  for (int k = top + 1; k < bins; ++k) {
    global_hist[top] += global_hist[k];
    global_hist[k] = 0;
  }
  std::vector<double> global_norm(bins);
  for (int k = 0; k < bins; ++k) global_norm[k] = double(global_hist[k]) / LR / LC;
  auto lin = [&](int k) { return std::pow(10.0, double(float(k) * 0.1f) + lof / 2560.0) / 1048575 * 16777216; };

  out.curves.assign(size_t(BR) * BC * bins, 0);
  out.slopes.assign(size_t(BR) * BC * bins, 0);
  for (int br = 0; br < BR; ++br) {
    for (int bc = 0; bc < BC; ++bc) {
      int32_t* hist = &block_hist[(size_t(br) * BC + bc) * bins];
      int32_t* curve = &out.curves[(size_t(br) * BC + bc) * bins];
      int32_t* slope = &out.slopes[(size_t(br) * BC + bc) * bins];
      if (p.fixed_curve) {
        curve[0] = 0;
        for (int k = 1; k < bins; ++k) {
          curve[k] = sat(std::fmin(lin(k) * p.fixed_curve_gain, 16777216.0));
          slope[k - 1] = wrap_sub(curve[k], curve[k - 1]);
        }
        continue;
      }
      for (int k = top + 1; k < bins; ++k) {
        hist[top] += hist[k];
        hist[k] = 0;
      }
      const int win_rows = std::min(br * half + block, LR) - br * half;
      const int win_cols = std::min(bc * half + block, LC) - bc * half;
      std::vector<double> h(bins);
      double sum = 0;
      for (int k = 0; k < bins; ++k)
        h[k] = double(hist[k]) / win_rows / win_cols * p.global_blend + global_norm[k] * (1 - p.global_blend);
      for (int k = 0; k < bins; ++k) sum += h[k];
      for (int k = 0; k < bins; ++k) h[k] /= sum;
      h[top] /= 4.8544921875;
      for (int k = 0; k < bins; ++k) {
        double w = 1.0, base = double(k + 1) / bins;
        // Repeated squaring, low bit first.
        unsigned n = p.hist_power;
        double y = n % 2 ? base : 1.0;
        while (n >>= 1) {
          base = base * base;
          if (n % 2) y = y * base;
        }
        w = y;
        h[k] *= w;
      }
      std::vector<double> pr(bins);
      double root_sum = 0;
      for (int k = 0; k < bins; ++k) root_sum += std::pow(h[k], 0.3333333333333333);
      for (int k = 0; k < bins; ++k) pr[k] = std::pow(h[k], 0.3333333333333333) / root_sum;
      double rest = 1, spread = 0;
      curve[0] = 0;
      for (int k = 0; k < bins; ++k) {
        rest -= pr[k];
        if (k < 1) continue;
        int32_t c = sat(curve[k - 1] + pr[k] * 16777216 + spread * pr[k]);
        const double l = lin(k);
        if (c / l >= p.clip_limit) {
          const double limited = l * p.clip_limit;
          if (rest > 0) spread += (c - limited) / rest;
          c = sat(limited);
        }
        curve[k] = c;
        slope[k - 1] = wrap_sub(curve[k], curve[k - 1]);
      }
      const int32_t last = curve[bins - 1];
      if (last != 16777216)
        for (int k = bins - 1; k >= 1; --k)
          if (curve[k] == last) curve[k] = 16777216;
    }
  }
}

void gains(const TmoParams& p, const Geometry& g, Planes& out) {
  const int LR = g.luma_rows, LC = g.luma_cols, half = g.block / 2;
  const uint32_t out_max = uint32_t(p.out_max);
  out.gain_map.assign(size_t(LR) * LC, 0);
  if (p.global_lut_mode) {
    std::vector<int32_t> lut3(size_t(1) << 22, 0);
    expand_segmented_lut(lut3.data(), p.lut3);
    for (size_t i = 0; i < out.gain_map.size(); ++i) {
      const uint32_t y = out.luma[i];
      out.gain_map[i] = (uint32_t(lut3[y]) << 14) / std::max<uint32_t>(1, y >> 2);
    }
  } else {
    std::vector<int32_t> lut2(size_t(1) << 14, 0);
    expand_segmented_lut(lut2.data(), p.lut2);
    const std::vector<double> tent = tent_weights(g.block);
    const CornerWeights cw = corner_weights(tent, g.block);
    const int shift = 2 * g.block_log2 + 10;
    const std::vector<uint32_t> norms = corner_norms(tent, g.block, shift);
    const int BR = g.block_rows, BC = g.block_cols;
    for (int r = 0; r < LR; ++r) {
      for (int c = 0; c < LC; ++c) {
        const int R = r / half, C = c / half, i = r % half, j = c % half;
        const uint32_t* w = cw.at(i, j);
        const int32_t value = out.log_luma[size_t(r) * LC + c];
        auto f = [&](int br, int bc) -> uint64_t {
          const size_t off = (size_t(br) * BC + bc) * p.bins;
          return eval_curve(value, &out.curves[off], &out.slopes[off], p.bins, out_max);
        };
        const bool top = R == 0, bottom = R == BR, left = C == 0, right = C == BC;
        uint64_t v;
        if ((top || bottom) && (left || right))
          v = f(top ? 0 : BR - 1, left ? 0 : BC - 1);
        else if (top)
          v = ((w[1] * f(0, C - 1) + w[0] * f(0, C)) * norms[i]) >> shift;
        else if (bottom)
          v = ((w[3] * f(R - 1, C - 1) + w[2] * f(R - 1, C)) * norms[half - 1 - i]) >> shift;
        else if (left)
          v = ((w[2] * f(R - 1, 0) + w[0] * f(R, 0)) * norms[j]) >> shift;
        else if (right)
          v = ((w[3] * f(R - 1, C - 1) + w[1] * f(R, C - 1)) * norms[half - 1 - j]) >> shift;
        else
          v = (w[0] * f(R, C) + w[1] * f(R, C - 1) + w[2] * f(R - 1, C) + w[3] * f(R - 1, C - 1)) >> (2 * g.block_log2);
        const double q = std::max<uint32_t>(1, out.luma[size_t(r) * LC + c] >> 2);
        out.gain_map[size_t(r) * LC + c] = uint64_t(int64_t(std::floor(lut2.at(v) * 16384.0 / q)));
      }
    }
  }
  for (auto& gain : out.gain_map)
    gain = (gain * p.tm_strength + (uint64_t(16 - int64_t(p.tm_strength)) << g.unity_shift)) >> 4;
}

void output(const TmoParams& p, const Geometry& g, Planes& out) {
  const int H = p.height, W = p.width, LR = g.luma_rows, LC = g.luma_cols;
  out.out.assign(size_t(H) * W, 0);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const int cy = y >> 1, cx = x >> 1;
      const int vy = (y & 1) ? cy + 1 : cy - 1, hx = (x & 1) ? cx + 1 : cx - 1;
      const bool has_v = vy >= 0 && vy < LR, has_h = hx >= 0 && hx < LC;
      auto G = [&](int r, int c) { return out.gain_map[size_t(r) * LC + c]; };
      uint64_t sum = 9 * G(cy, cx), d = 9;
      if (has_v) sum += 3 * G(vy, cx), d += 3;
      if (has_h) sum += 3 * G(cy, hx), d += 3;
      if (has_v && has_h) sum += G(vy, hx), d += 1;
      const uint64_t gain = sum / d;
      const int32_t src = p.use_corrected_input ? out.corrected[size_t(y) * W + x] : p.image[size_t(y) * W + x];
      const uint32_t v = uint32_t((uint64_t(int64_t(src)) * gain) >> 14);
      out.out[size_t(y) * W + x] = int32_t(std::min(v, uint32_t(p.out_max)));
    }
  }
}

}  // namespace

Planes tone_map(const TmoParams& p) {
  const Geometry g = Geometry::of(p);
  Planes out;
  luminance(p, out);
  if (!p.global_lut_mode) curves(p, g, out);
  gains(p, g, out);
  output(p, g, out);
  return out;
}

}  // namespace reference
