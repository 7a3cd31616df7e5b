// Log-domain histograms and block tone curves: histogram equalisation on
// cube-rooted, position-weighted histograms with a per-bin gain limit.
#include <algorithm>
#include <cmath>

#include "stages.h"

namespace tonewright {

namespace {

constexpr double kCubeRootExponent = 0.3333333333333333;

// Integer power by repeated squaring, in the multiplication order the curves
// were tuned with.
double int_power(double x, unsigned n) {
  double y = n % 2 ? x : 1.0;
  while (n >>= 1) {
    x = x * x;
    if (n % 2) y = y * x;
  }
  return y;
}

// 10^(bin * 0.1 decade + floor offset) / value_max in curve units. The bin
// position is a single-precision product, as the hardware model has it.
double bin_edge(int k, int32_t log_offset_fixed) {
  const float position = float(k) * kTenthDecadeF;
  const double decades = double(position) + log_offset_fixed / 2560.0;
  return std::pow(10.0, decades) / kValueMax * kCurveFullScale;
}

}  // namespace

int32_t top_bin(int32_t log_offset_fixed) {
  const double full_scale_log = std::log10(double(kValueMax));
  return saturate_cast<int32_t>(
      std::floor((full_scale_log - log_offset_fixed * 0.00390625 * kTenthDecade) / kTenthDecade));
}

std::vector<double> bin_lower_edges(int bins, int32_t log_offset_fixed) {
  std::vector<double> lin(bins);
  for (int k = 0; k < bins; ++k) lin[k] = bin_edge(k, log_offset_fixed);
  return lin;
}

void count_span_row(const Geometry& g, int bins, int cell_row, const int32_t* log, int32_t* even_hist,
                    int32_t* odd_hist) {
  const int half_log2 = g.block_log2 - 1;
  const size_t row_offset = size_t(cell_row >> half_log2) * g.span_cols() * bins;
  int32_t* even = even_hist + row_offset;
  int32_t* odd = odd_hist + row_offset;
  // A bin past the last fails the call once the rows are done.
  for (int begin = 0; begin < g.luma_cols; begin += g.half, even += bins, odd += bins) {
    const int end = std::min(begin + g.half, g.luma_cols);
    int c = begin;
    for (; c + 1 < end; c += 2) {
      const int a = log[c] >> LogBinQ8::frac_bits;
      const int b = log[c + 1] >> LogBinQ8::frac_bits;
      if (a < bins) even[a] += 1;
      if (b < bins) odd[b] += 1;
    }
    if (c < end && (log[c] >> LogBinQ8::frac_bits) < bins) even[log[c] >> LogBinQ8::frac_bits] += 1;
  }
}

void window_histogram(const Geometry& g, int bins, const int32_t* span_hist, int br, int bc, int32_t* hist) {
  // A count that reaches block * block is held one below it, so a count
  // fits in 2 * log2(block) bits.
  const int32_t cap = int32_t(g.block) * g.block - 1;
  const size_t row_stride = size_t(g.span_cols()) * bins;
  const int32_t* s00 = span_hist + size_t(br) * row_stride + size_t(bc) * bins;
  const int32_t* s01 = s00 + bins;
  const int32_t* s10 = s00 + row_stride;
  const int32_t* s11 = s10 + bins;
  for (int k = 0; k < bins; ++k) {
    const int32_t n = s00[k] + s01[k] + s10[k] + s11[k];
    hist[k] = n < cap ? n : cap;
  }
}

void fold_above_top(int32_t* hist, int bins, int top) {
  for (int k = top + 1; k < bins; ++k) {
    hist[top] = wrap_add(hist[top], hist[k]);
    hist[k] = 0;
  }
}

CurveBuilder::CurveBuilder(const TmoParams& p, const Geometry& g, std::vector<int32_t>& global_hist)
    : p_(p), bins_(p.bins), top_(top_bin(g.log_offset_fixed)) {
  lin_ = bin_lower_edges(bins_, g.log_offset_fixed);
  position_w_.resize(bins_);
  for (int k = 0; k < bins_; ++k) position_w_[k] = int_power(double(k + 1) / bins_, p.hist_power);
  fold_above_top(global_hist.data(), bins_, top_);
  global_norm_.resize(bins_);
  for (int k = 0; k < bins_; ++k) global_norm_[k] = double(global_hist[k]) / g.luma_rows / g.luma_cols;
}

void CurveBuilder::build(int32_t* hist, int win_rows, int win_cols, int32_t* curve, int32_t* slope,
                         std::vector<double>& h) const {
  const int bins = bins_;
  fold_above_top(hist, bins, top_);
  h.resize(bins);
  const double blend = p_.global_blend;
  double sum = 0.0;
  for (int k = 0; k < bins; ++k) {
    h[k] = double(hist[k]) / win_rows / win_cols * blend + global_norm_[k] * (1 - blend);
    sum += h[k];
  }
  for (int k = 0; k < bins; ++k) h[k] /= sum;
  h[top_] /= kKneeSlope;
  double root_sum = 0.0;
  for (int k = 0; k < bins; ++k) {
    h[k] *= position_w_[k];
    h[k] = std::pow(h[k], kCubeRootExponent);
    root_sum += h[k];
  }
  for (int k = 0; k < bins; ++k) h[k] /= root_sum;

  // Accumulate with a gain limit; the excess above the limit is spread
  // over the probability mass still to come. With none left it is dropped.
  double rest = 1.0;
  double spread = 0.0;
  curve[0] = 0;
  for (int k = 0; k < bins; ++k) {
    rest -= h[k];
    if (k == 0) continue;
    int32_t c = saturate_cast<int32_t>(curve[k - 1] + h[k] * kCurveFullScale + spread * h[k]);
    if (c / lin_[k] >= p_.clip_limit) {
      const double limited = lin_[k] * p_.clip_limit;
      if (rest > 0) spread += (c - limited) / rest;
      c = saturate_cast<int32_t>(limited);
    }
    curve[k] = c;
    slope[k - 1] = wrap_sub(curve[k], curve[k - 1]);
  }
  // Entries stuck at the last value are raised to full scale; their slopes
  // stay as accumulated.
  const int32_t last = curve[bins - 1];
  if (last != CurveQ24::one) {
    for (int k = bins - 1; k >= 1; --k)
      if (curve[k] == last) curve[k] = int32_t(CurveQ24::one);
  }
}

void CurveBuilder::build_fixed(int32_t* curve, int32_t* slope) const {
  curve[0] = 0;
  for (int k = 1; k < bins_; ++k) {
    curve[k] = saturate_cast<int32_t>(std::fmin(lin_[k] * p_.fixed_curve_gain, kCurveFullScale));
    slope[k - 1] = wrap_sub(curve[k], curve[k - 1]);
  }
}

void CurveBuilder::build_window(const Geometry& g, const int32_t* span_hist, int br, int bc, int32_t* hist,
                                int32_t* curve, int32_t* slope, std::vector<double>& scratch) const {
  window_histogram(g, bins_, span_hist, br, bc, hist);
  if (p_.fixed_curve) return;  // histograms are kept but the fixed curve is used
  const int win_rows = std::min(br * g.half + g.block, g.luma_rows) - br * g.half;
  const int win_cols = std::min(bc * g.half + g.block, g.luma_cols) - bc * g.half;
  build(hist, win_rows, win_cols, curve, slope, scratch);
}

}  // namespace tonewright
