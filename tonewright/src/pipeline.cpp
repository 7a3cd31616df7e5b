// One call of the model: checks, working arrays, then the stages in order,
// each split over two threads. The caller's frame is written only by the
// last stage, after everything that can fail has succeeded.
#include <algorithm>
#include <cmath>

#include "buffer.h"
#include "row_kernels.h"
#include "two_way.h"
#include "validate.h"

namespace tonewright {

namespace {

constexpr int kDefaultBlock = 64;
constexpr int kBlockOfCode[] = {kDefaultBlock, 128, 256, 512, 1024};

// Rough per-row costs, only used to decide whether a second thread pays off.
long cells_work(const Geometry& g) { return g.luma_cols; }

// Rows a thread takes at a time: enough that starting a chunk (a dither
// jump, a gain row shared with the chunk before) costs little, few enough
// that the threads finish close together.
constexpr int kCellRowsPerChunk = 32;
constexpr int kImageRowsPerChunk = 2 * kCellRowsPerChunk;
constexpr int kWindowsPerChunk = 8;

Status rejected(std::string why) { return Status{Outcome::invalid_input, std::move(why)}; }

}  // namespace

int block_size_of_code(int32_t code) { return code >= 1 && code <= 4 ? kBlockOfCode[code] : kDefaultBlock; }

int unity_shift_of(int32_t out_max) {
  const double out_bits = std::trunc(std::log(double(out_max) + 1) / std::log(2.0));
  const double in_bits = std::trunc(std::log(double(kValueMax) + 1) / std::log(2.0));
  return saturate_cast<int32_t>(out_bits - in_bits + ToneGainQ14::frac_bits);
}

Geometry Geometry::of(const TmoParams& p) {
  Geometry g;
  g.height = p.height;
  g.width = p.width;
  g.luma_rows = p.height / 2;
  g.luma_cols = p.width / 2;
  g.block = block_size_of_code(p.block_size_code);
  g.block_log2 = 0;
  while ((1 << g.block_log2) < g.block) ++g.block_log2;
  g.half = g.block / 2;
  // Windows overlap by half a block: one fewer than the blocks that cover
  // the frame.
  g.block_rows = int16_t(p.height / g.block - (p.height % g.block == 0 ? 1 : 0));
  g.block_cols = int16_t(p.width / g.block - (p.width % g.block == 0 ? 1 : 0));
  g.log_offset_fixed = int32_t(uint32_t(0) - uint32_t(p.log_floor) * uint32_t(LogBinQ8::one));
  g.unity_shift = unity_shift_of(p.out_max);
  return g;
}

namespace {

// The working state of one call, freed when it ends. Every array is
// allocated in the constructor, before the caller's frame is touched. Only
// the luma plane spans the frame: the log luminance, the histograms and the
// corrected frame are worked out row by row where they are used.
class ToneMapCall {
 public:
  ToneMapCall(const TmoParams& p, const Geometry& g);
  void prepare_tables();
  // Returns the largest log value of the frame (0 in global LUT mode).
  // Makes the tables only the output reads on the way.
  int64_t luminance();
  void block_curves(int64_t largest_log);
  // Writes the result over the caller's frame; cannot fail.
  void output();

 private:
  const TmoParams& p_;
  const Geometry& g_;
  const Kernels& kernels_;
  const bool local_;
  const bool count_spans_;  // local mode with curves from the histograms
  const int bins_;
  // LUT 1 and LUT 3 are read from their knots; only a descriptor whose
  // segments overlap needs its dense table.
  LutReader lut1_, lut3_;
  Buffer<int32_t> lut1_table_, lut3_table_;  // unreached entries stay 0
  std::unique_ptr<DitherTable> dither_;
  std::vector<int32_t> dither_shifted_;
  std::unique_ptr<DitherGenerator::ByteTables> dither_steps_;  // shared by every chunk's generator
  std::unique_ptr<DitherGenerator::Jump> dither_row_;          // a cell row's steps
  std::unique_ptr<MeshSampler> mesh_;
  LumaConsts consts_;
  Buffer<uint32_t> luma_;
  // Per thread: mesh gains and log luminance (or LUT 3 values) of a cell
  // row, dither words of two, gain rows in use, column blends, span
  // histograms of the even and of the odd cells.
  Buffer<int32_t> mesh_rows_, log_rows_;
  Buffer<uint16_t> words_;
  Buffer<uint64_t> gain_rows_, column_;
  Buffer<int32_t> span_hist_;
  // Local mode only: the log plane, valid when the largest log value fits.
  Buffer<uint16_t> log16_;
  bool log16_valid_ = false;
  std::unique_ptr<LogKnotTable> log_table_;
  Buffer<int32_t> lut2_, block_hist_, curves_, slopes_;
  Buffer<int64_t> curve_pairs_;  // each curve entry and its slope in one word
  CornerWeights weights_;
  std::vector<uint32_t> norms_;

  template <typename T>
  static T* part_of(Buffer<T>& b, int part) {
    return b.data() + b.size() / 2 * size_t(part);
  }
  int64_t luminance_rows(int begin, int end, int part);
  void output_tables();  // LUT 2 and the blending weights
  void build_curves();
  void output_rows(int begin, int end, int part);
};

ToneMapCall::ToneMapCall(const TmoParams& p, const Geometry& g)
    : p_(p),
      g_(g),
      kernels_(call_kernels()),
      local_(!p.global_lut_mode),
      count_spans_(local_ && !p.fixed_curve),
      bins_(p.bins),
      lut1_(p.lut1, kWideLutSize),
      lut3_(local_ ? LutDescriptor{} : p.lut3, kWideLutSize),
      lut1_table_({lut1_.needs_table() ? kWideLutSize : 0}),
      lut3_table_({lut3_.needs_table() ? kWideLutSize : 0}),
      luma_({uint64_t(g.luma_rows), uint64_t(g.luma_cols)}, Fill::overwritten),
      mesh_rows_({2, p.mesh_off ? 0 : uint64_t(4) * g.luma_cols}),
      log_rows_({2, uint64_t(g.luma_cols)}),
      words_({2, p.dither.on ? uint64_t(2) * g.luma_cols : 0}),
      gain_rows_({2, 3, uint64_t(g.luma_cols)}),
      column_({2, uint64_t(g.luma_cols)}),
      span_hist_({2, 2, count_spans_ ? uint64_t(g.span_rows()) * g.span_cols() * p.bins : 0}) {
  if (!p.mesh_off) mesh_ = std::make_unique<MeshSampler>(p, g.luma_cols);
  if (!local_) return;
  const uint64_t windows = uint64_t(g.block_rows) * g.block_cols;
  log16_ = Buffer<uint16_t>({uint64_t(g.luma_rows), uint64_t(g.luma_cols)}, Fill::overwritten);
  lut2_ = Buffer<int32_t>({kOutputLutSize});
  block_hist_ = Buffer<int32_t>({windows, uint64_t(bins_)});
  curves_ = Buffer<int32_t>({windows, uint64_t(bins_)});
  slopes_ = Buffer<int32_t>({windows, uint64_t(bins_)});
  curve_pairs_ = Buffer<int64_t>({windows, uint64_t(bins_)}, Fill::overwritten);
}

void ToneMapCall::prepare_tables() {
  // Any dense LUT on one thread, the dither values and the log table on
  // the other. The tables only the output reads are made beside the
  // luminance rows.
  run_both(
      [&] {
        if (lut1_.needs_table()) {
          expand_segmented_lut(lut1_table_.data(), p_.lut1);
          lut1_.use_table(lut1_table_.data());
        }
        if (lut3_.needs_table()) {
          expand_segmented_lut(lut3_table_.data(), p_.lut3);
          lut3_.use_table(lut3_table_.data());
        }
      },
      [&] {
        if (p_.dither.on) {
          dither_ = std::make_unique<DitherTable>(p_.dither);
          dither_shifted_ = dither_->shifted(p_.dither.shift);
          const DitherGenerator gen = dither_at(p_.dither, 0);
          dither_steps_ = std::make_unique<DitherGenerator::ByteTables>(gen);
          dither_row_ = std::make_unique<DitherGenerator::Jump>(gen, uint64_t(g_.luma_cols));
        }
        if (local_) log_table_ = std::make_unique<LogKnotTable>(p_.log_offset);
      });
  consts_ = luma_consts(p_, g_, lut1_, dither_.get(), log_table_.get());
  if (!dither_shifted_.empty()) consts_.dither_shifted = dither_shifted_.data();
}

int64_t ToneMapCall::luminance() {
  int64_t largest_log[2] = {0, 0};
  share_rows(
      0, g_.luma_rows, kCellRowsPerChunk, 8 * cells_work(g_),
      [&](int begin, int end, int part) {
        largest_log[part] = std::max(largest_log[part], luminance_rows(begin, end, part));
      },
      [&] { output_tables(); });
  return std::max(largest_log[0], largest_log[1]);
}

void ToneMapCall::output_tables() {
  if (!local_) return;
  expand_segmented_lut(lut2_.data(), p_.lut2);
  const std::vector<double> tent = tent_weights(g_.block);
  weights_ = corner_weights(tent, g_.block);
  norms_ = corner_norms(tent, g_.block, 2 * g_.block_log2 + 10);
}

int64_t ToneMapCall::luminance_rows(int begin, int end, int part) {
  const size_t w = size_t(g_.width), lc = size_t(g_.luma_cols);
  int32_t* mesh = part_of(mesh_rows_, part);
  uint16_t* words = part_of(words_, part);
  int32_t* log = part_of(log_rows_, part);
  int32_t* spans = part_of(span_hist_, part);
  // Each thread starts the dither sequence at its first cell.
  DitherGenerator gen;
  if (dither_) gen = dither_at(p_.dither, size_t(begin) * lc);
  int64_t largest = 0;
  for (int cr = begin; cr < end; ++cr) {
    if (mesh_) kernels_.mesh_gains(*mesh_, cr, mesh);
    // The words of two rows at a time.
    const uint16_t* row_words = dither_ ? words + size_t((cr - begin) % 2) * lc : nullptr;
    if (dither_ && (cr - begin) % 2 == 0) {
      if (cr + 1 < end)
        gen.fill_two(*dither_steps_, *dither_row_, words, words + lc, lc);
      else
        gen.fill(*dither_steps_, words, lc);
    }
    const int32_t* top = p_.image + size_t(2 * cr) * w;
    uint16_t* log16 = local_ ? log16_.data() + size_t(cr) * lc : nullptr;
    const int64_t l =
        kernels_.luma_row(consts_, top, top + w, mesh, row_words, luma_.data() + size_t(cr) * lc, log, log16);
    largest = std::max(largest, l);
    if (count_spans_) count_span_row(g_, bins_, cr, log, spans, spans + span_hist_.size() / 4);
  }
  return largest;
}

void ToneMapCall::block_curves(int64_t largest_log) {
  log16_valid_ = largest_log <= UINT16_MAX;
  build_curves();
  for (size_t i = 0; i < curve_pairs_.size(); ++i) curve_pairs_[i] = pair_curve_entry(curves_[i], slopes_[i]);
}

void ToneMapCall::build_curves() {
  // The spans partition the frame: the global histogram is their sum.
  std::vector<int32_t> global_hist(bins_, 0);
  if (count_spans_) {
    // The four counts of each span, by thread and cell parity, into the first.
    const size_t n = span_hist_.size() / 4;
    int32_t* spans = span_hist_.data();
    for (int k = 1; k < 4; ++k) {
      const int32_t* other = spans + k * n;
      for (size_t i = 0; i < n; ++i) spans[i] += other[i];
    }
    for (size_t span = 0; span < n; span += size_t(bins_))
      for (int k = 0; k < bins_; ++k) global_hist[k] += spans[span + k];
  }
  const CurveBuilder builder(p_, g_, global_hist);

  const int windows = g_.block_rows * g_.block_cols;
  if (p_.fixed_curve) {
    // Every window gets the same curve.
    builder.build_fixed(curves_.data(), slopes_.data());
    for (int w = 1; w < windows; ++w) {
      std::copy_n(curves_.data(), bins_, curves_.data() + size_t(w) * bins_);
      std::copy_n(slopes_.data(), bins_, slopes_.data() + size_t(w) * bins_);
    }
    return;
  }
  std::vector<double> scratch[2];
  scratch[0].reserve(bins_);
  scratch[1].reserve(bins_);
  share_rows(0, windows, kWindowsPerChunk, long(bins_) * 16, [&](int begin, int end, int part) {
    for (int w = begin; w < end; ++w) {
      const size_t off = size_t(w) * bins_;
      builder.build_window(g_, span_hist_.data(), w / g_.block_cols, w % g_.block_cols, block_hist_.data() + off,
                           curves_.data() + off, slopes_.data() + off, scratch[part]);
    }
  });
}

void ToneMapCall::output() {
  share_rows(0, g_.height, kImageRowsPerChunk, 2 * g_.width,
             [&](int begin, int end, int part) { output_rows(begin, end, part); });
}

void ToneMapCall::output_rows(int begin, int end, int part) {
  uint64_t* ring = part_of(gain_rows_, part);
  uint64_t* column = part_of(column_, part);
  int32_t* mesh = part_of(mesh_rows_, part);
  int mesh_row_held = -1;
  const uint32_t out_max = uint32_t(p_.out_max);
  // The corrected row is made again from the raw row as the result
  // overwrites it.
  auto apply_row = [&](int y, const uint64_t* own, const uint64_t* vert) {
    int32_t* row = p_.image + size_t(y) * g_.width;
    if (!p_.use_corrected_input) {
      kernels_.apply_gain_row(g_, own, vert, row, out_max, row, column);
      return;
    }
    if (mesh_ && mesh_row_held != y >> 1) {
      kernels_.mesh_gains(*mesh_, y >> 1, mesh);
      mesh_row_held = y >> 1;
    }
    kernels_.apply_corrected_row(consts_, (y & 1) != 0, mesh, g_, own, vert, row, out_max, row, column);
  };
  int32_t* scratch = part_of(log_rows_, part);
  if (!local_) {
    auto make_row = [&](int cy, uint64_t* out) {
      kernels_.global_gain_row(g_, luma_.data(), lut3_, p_.tm_strength, cy, out, scratch);
    };
    gains_to_output(g_, make_row, apply_row, begin, end, ring);
    return;
  }
  LocalGainInputs in;
  in.luma = luma_.data();
  in.log_table = log_table_.get();
  in.log_offset_fixed = g_.log_offset_fixed;
  in.log_fits_int32 = consts_.log_fits_int32;
  if (log16_valid_) in.log16 = log16_.data();
  in.curves = curves_.data();
  in.slopes = slopes_.data();
  in.curve_pairs = curve_pairs_.data();
  in.lut2 = lut2_.data();
  in.weights = &weights_;
  in.norms = norms_.data();
  in.bins = bins_;
  in.out_max = out_max;
  auto make_row = [&](int cy, uint64_t* out) { kernels_.local_gain_row(g_, in, p_.tm_strength, cy, out, scratch); };
  gains_to_output(g_, make_row, apply_row, begin, end, ring);
}

}  // namespace

Status run_tone_mapping(const TmoParams& p) {
  const Geometry g = Geometry::of(p);
  if (std::string why = check_params(p, g); !why.empty()) return rejected(why);
  ToneMapCall call(p, g);
  call.prepare_tables();
  const int64_t largest_log = call.luminance();
  if (!p.global_lut_mode) {
    if (std::string why = check_log_range(largest_log, p.bins); !why.empty()) return rejected(why);
    call.block_curves(largest_log);
  }
  call.output();
  return Status{};
}

}  // namespace tonewright
