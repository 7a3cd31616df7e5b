// The three pipeline stages over a frame: luminance plane, log-domain block
// curves, gain map and output. Each works on a range of rows so the caller
// can split it across threads; none allocates inside a row loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fixed_point.h"
#include "params.h"

namespace tonewright {

// Sizes derived once per call. Cells are the 2x2 Bayer cells of the luma
// plane; a block window spans `block` cells and steps by `half`.
struct Geometry {
  int height = 0, width = 0;
  int luma_rows = 0, luma_cols = 0;
  int block = 64, block_log2 = 6, half = 32;
  int block_rows = 0, block_cols = 0;  // block windows per column / row
  int32_t log_offset_fixed = 0;        // LogBinQ8 units
  int unity_shift = 0;                 // tone gain that rescales 20 bits to the output range

  static Geometry of(const TmoParams& p);
  int span_rows() const { return block_rows + 1; }
  int span_cols() const { return block_cols + 1; }
};

int block_size_of_code(int32_t code);
// Output bits minus input bits plus the tone-gain fraction; negative when
// out_max is too small to hold a linear rescale.
int unity_shift_of(int32_t out_max);

// ---- Luminance plane --------------------------------------------------------

// Shading-mesh positions of every cell column, shared by all rows.
class MeshSampler {
 public:
  // The mesh columns blended by a run of cell columns.
  struct Run {
    int begin = 0, end = 0;  // cell columns
    int a = 0, b = 0;        // mesh columns, kMeshValueCols for the zero ones beyond
  };
  static constexpr int kValueRows = 13, kValueCols = 17;  // per plane, as the caller passes them

  MeshSampler(const TmoParams& p, int luma_cols);
  // Gains with 12 fractional bits for the four cell positions of every
  // cell of cell row `cell_row`: out[position * luma_cols + cell_col].
  void row_gains(int cell_row, int32_t* out) const;
  // The vertical blend of every mesh column of a cell row, by cell
  // position, and a last zero column for those beyond the values.
  void vertical(int cell_row, int64_t out[4][kValueCols + 1]) const;
  int luma_cols() const { return int(col_w0_.size()); }
  const std::vector<Run>& runs() const { return runs_; }
  // The weights of the two mesh columns, MeshPosQ20.
  const double* col_w0() const { return col_w0_.data(); }
  const double* col_w1() const { return col_w1_.data(); }
  const int32_t* col_w1_int() const { return col_w1_int_.data(); }  // the same as integers

 private:
  struct Tap {
    int a = 0, b = 0;        // mesh columns (or rows) to blend
    int64_t w0 = 0, w1 = 0;  // their weights, MeshPosQ20
  };
  Tap tap_at(uint32_t pos, int count) const;
  int64_t value(int plane, int row, int col) const;

  const TmoParams& p_;
  int plane_of_position_[4];
  std::vector<Run> runs_;
  std::vector<double> col_w0_, col_w1_;
  std::vector<int32_t> col_w1_int_;
};

// ---- Log-domain histograms and block curves ----------------------------------

int32_t top_bin(int32_t log_offset_fixed);
// Linear value at the lower edge of each bin in curve units (2^24 = full scale).
std::vector<double> bin_lower_edges(int bins, int32_t log_offset_fixed);

// Log value of one cell's luminance, lifted by the floor and clipped at 0;
// wider than 32 bits so the caller can check it against the bin count.
inline int64_t log_luminance(const LogKnotTable& table, uint32_t luma, int32_t log_offset_fixed) {
  const int32_t l = table.at(luma < kLumaMax ? luma : kLumaMax);
  return l < log_offset_fixed ? 0 : int64_t(l) - log_offset_fixed;
}

// Counts every cell of one cell row of log values into its span's
// histogram; bins past the last are left out. Window histograms are sums of
// four spans, the global histogram the sum of all. Every other cell counts
// into `odd_hist` instead of `even_hist` (which may be the same array): in
// two arrays a run of cells in one bin does not wait on each count's store.
void count_span_row(const Geometry& g, int bins, int cell_row, const int32_t* log, int32_t* even_hist,
                    int32_t* odd_hist);
void window_histogram(const Geometry& g, int bins, const int32_t* span_hist, int br, int bc, int32_t* hist);

class CurveBuilder {
 public:
  CurveBuilder(const TmoParams& p, const Geometry& g, std::vector<int32_t>& global_hist);
  int top() const { return top_; }
  // Histogram-equalised curve of one window; `hist` is folded in place.
  void build(int32_t* hist, int win_rows, int win_cols, int32_t* curve, int32_t* slope,
             std::vector<double>& scratch) const;
  void build_fixed(int32_t* curve, int32_t* slope) const;
  void build_window(const Geometry& g, const int32_t* span_hist, int br, int bc, int32_t* hist, int32_t* curve,
                    int32_t* slope, std::vector<double>& scratch) const;

 private:
  const TmoParams& p_;
  int bins_;
  int top_;
  std::vector<double> lin_;         // bin lower edges, curve units
  std::vector<double> position_w_;  // ((k + 1) / bins) ^ hist_power
  std::vector<double> global_norm_;
};

// Folds every bin above `top` into `top`.
void fold_above_top(int32_t* hist, int bins, int top);

// ---- Gain map and output --------------------------------------------------------

// Output-domain value of a block curve at a log value, 0 .. out_max.
inline uint32_t eval_curve(int32_t value, const int32_t* curve, const int32_t* slope, int bins, uint32_t out_max) {
  int idx = value >> 8;
  if (idx > bins - 1) idx = bins - 1;
  const uint64_t frac = uint64_t(value & 255);
  const uint64_t r =
      ((uint64_t(int64_t(curve[idx])) << 8) + frac * uint64_t(int64_t(slope[idx]))) * (uint64_t(out_max) + 1);
  const uint64_t t = r >> 32;
  return t > out_max ? out_max : uint32_t(t);
}

inline int64_t pair_curve_entry(int32_t curve, int32_t slope) {
  return int64_t(uint64_t(uint32_t(curve)) << 32 | uint32_t(slope));
}

struct LocalGainInputs {
  const uint32_t* luma = nullptr;
  // The log luminance of a cell is worked out again from its luma.
  const LogKnotTable* log_table = nullptr;
  int32_t log_offset_fixed = 0;
  bool log_fits_int32 = false;  // see LogKnotTable::fits_int32
  // The log values kept from the luminance pass (luma_rows x luma_cols),
  // when every one of them fits 16 bits; null to work them out again.
  const uint16_t* log16 = nullptr;
  const int32_t* curves = nullptr;  // block_rows x block_cols x bins
  const int32_t* slopes = nullptr;
  // The same, curve << 32 | slope, for readers that fetch both at once;
  // null when not made.
  const int64_t* curve_pairs = nullptr;
  const int32_t* lut2 = nullptr;
  const CornerWeights* weights = nullptr;
  const uint32_t* norms = nullptr;
  int bins = 0;
  uint32_t out_max = 0;
};

// One row of the gain map after the strength mix, ToneGainQ14.
// Plain C++ versions; the pipeline takes them from a kernel table.
void local_gain_row(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int row, uint64_t* gain_row);
void global_gain_row(const Geometry& g, const uint32_t* luma, const LutReader& lut3, uint16_t tm_strength, int row,
                     uint64_t* gain_row);
// Gain map rows [row_begin, row_end).
void local_gains(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int row_begin, int row_end,
                 uint64_t* gain_map);
uint64_t mix_strength(uint64_t gain, uint16_t tm_strength, int unity_shift);

// The gain-map row a pixel row blends with: above for even rows, below for odd.
inline int neighbour_cell_row(int y) { return (y & 1) ? (y >> 1) + 1 : (y >> 1) - 1; }

// Upsamples gain rows `own` and `vert` (null at the frame's edge) to one
// pixel row and writes it to `dst` from `src` (which may be the same row).
// `column` holds luma_cols values.
void apply_gain_row(const Geometry& g, const uint64_t* own, const uint64_t* vert, const int32_t* src, uint32_t out_max,
                    int32_t* dst, uint64_t* column);
// The same over image rows [row_begin, row_end) of a whole gain map.
void apply_gains(const Geometry& g, const uint64_t* gain_map, const int32_t* src, uint32_t out_max, int row_begin,
                 int row_end, int32_t* dst, uint64_t* scratch);

// Image rows [row_begin, row_end) straight from gain rows made on demand by
// make_row(cell_row, out): three gain rows live at a time instead of a whole
// map. apply_row(y, own, vert) writes image row y from the gain rows of its
// own cell row and its vertical neighbour (null at the frame's edge).
// `ring` holds 3 * luma_cols values.
template <typename MakeRow, typename ApplyRow>
void gains_to_output(const Geometry& g, MakeRow&& make_row, ApplyRow&& apply_row, int row_begin, int row_end,
                     uint64_t* ring) {
  int held[3] = {-1, -1, -1};
  auto row = [&](int cy) -> const uint64_t* {
    uint64_t* slot = ring + size_t(cy % 3) * g.luma_cols;
    if (held[cy % 3] != cy) {
      make_row(cy, slot);
      held[cy % 3] = cy;
    }
    return slot;
  };
  for (int y = row_begin; y < row_end; ++y) {
    const int vy = neighbour_cell_row(y);
    const uint64_t* own = row(y >> 1);
    const uint64_t* vert = (vy >= 0 && vy < g.luma_rows) ? row(vy) : nullptr;
    apply_row(y, own, vert);
  }
}

}  // namespace tonewright
