// One call of the model: checks, working arrays, then the stages in order,
// each split over two threads. The caller's frame is written only by the
// last stage, after everything that can fail has succeeded.
#include <algorithm>
#include <cmath>

#include "buffer.h"
#include "stages.h"
#include "two_way.h"
#include "validate.h"

namespace tonewright {

namespace {

constexpr int kDefaultBlock = 64;
constexpr int kBlockOfCode[] = {kDefaultBlock, 128, 256, 512, 1024};

// Rough per-row costs, only used to decide whether a second thread pays off.
long cells_work(const Geometry& g) { return g.luma_cols; }

Status rejected(std::string why) { return Status{Outcome::invalid_input, std::move(why)}; }

}  // namespace

int block_size_of_code(int32_t code) {
    return code >= 1 && code <= 4 ? kBlockOfCode[code] : kDefaultBlock;
}

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
// allocated in the constructor, before the caller's frame is touched.
class ToneMapCall {
public:
    ToneMapCall(const TmoParams& p, const Geometry& g);
    void prepare_tables();
    // Returns the largest log value of the frame (0 in global LUT mode).
    int64_t luminance();
    void block_curves();
    // Writes the result over the caller's frame; cannot fail.
    void output();

private:
    const TmoParams& p_;
    const Geometry& g_;
    const bool local_;
    const int bins_;
    // LUT 1 and LUT 3 are read from their knots; only a descriptor whose
    // segments overlap needs its dense table.
    LutReader lut1_, lut3_;
    Buffer<int32_t> lut1_table_, lut3_table_;  // unreached entries stay 0
    std::unique_ptr<DitherTable> dither_;
    std::unique_ptr<MeshSampler> mesh_;
    Buffer<uint32_t> luma_;
    Buffer<int32_t> corrected_;  // only when the gains apply to the corrected frame
    // Per thread: mesh gains of a cell row, gain rows in use, column blends.
    Buffer<int64_t> cell_gains_;
    Buffer<uint64_t> gain_rows_, column_;
    // Local mode only.
    std::unique_ptr<LogKnotTable> log_table_;
    Buffer<int32_t> lut2_, log_luma_, span_hist_, block_hist_, curves_, slopes_;
    std::vector<int32_t> thread_global_hist_;  // one per thread
    CornerWeights weights_;
    std::vector<uint32_t> norms_;

    int64_t* cell_gains(int part) { return cell_gains_.data() + size_t(part) * g_.luma_cols * 4; }
    void output_rows(int begin, int end, int part);
};

ToneMapCall::ToneMapCall(const TmoParams& p, const Geometry& g)
    : p_(p),
      g_(g),
      local_(!p.global_lut_mode),
      bins_(p.bins),
      lut1_(p.lut1, kWideLutSize),
      lut3_(local_ ? LutDescriptor{} : p.lut3, kWideLutSize),
      lut1_table_({lut1_.needs_table() ? kWideLutSize : 0}),
      lut3_table_({lut3_.needs_table() ? kWideLutSize : 0}),
      luma_({uint64_t(g.luma_rows), uint64_t(g.luma_cols)}, Fill::overwritten),
      corrected_({p.use_corrected_input ? uint64_t(g.height) : 0, uint64_t(g.width)}, Fill::overwritten),
      cell_gains_({2, uint64_t(g.luma_cols), 4}),
      gain_rows_({2, 3, uint64_t(g.luma_cols)}),
      column_({2, uint64_t(g.luma_cols)}) {
    if (!p.mesh_off) mesh_ = std::make_unique<MeshSampler>(p, g.luma_cols);
    if (!local_) return;
    const uint64_t windows = uint64_t(g.block_rows) * g.block_cols;
    lut2_ = Buffer<int32_t>({kOutputLutSize});
    log_luma_ = Buffer<int32_t>({uint64_t(g.luma_rows), uint64_t(g.luma_cols)}, Fill::overwritten);
    span_hist_ = Buffer<int32_t>({uint64_t(g.span_rows()) * g.span_cols(), uint64_t(bins_)});
    block_hist_ = Buffer<int32_t>({windows, uint64_t(bins_)});
    curves_ = Buffer<int32_t>({windows, uint64_t(bins_)});
    slopes_ = Buffer<int32_t>({windows, uint64_t(bins_)});
    thread_global_hist_.assign(size_t(2) * bins_, 0);
}

void ToneMapCall::prepare_tables() {
    // Any dense LUT on one thread, the dither values and the small tables
    // on the other.
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
            if (p_.dither.on) dither_ = std::make_unique<DitherTable>(p_.dither);
            if (!local_) return;
            expand_segmented_lut(lut2_.data(), p_.lut2);
            log_table_ = std::make_unique<LogKnotTable>(p_.log_offset);
            const std::vector<double> tent = tent_weights(g_.block);
            weights_ = corner_weights(tent, g_.block);
            norms_ = corner_norms(tent, g_.block, 2 * g_.block_log2 + 10);
        });
}

int64_t ToneMapCall::luminance() {
    LuminanceOutputs out;
    out.luma = luma_.data();
    if (p_.use_corrected_input) out.corrected = corrected_.data();
    if (local_) {
        out.log_table = log_table_.get();
        out.log_offset_fixed = g_.log_offset_fixed;
        out.log_luma = log_luma_.data();
    }
    int64_t largest_log[2] = {0, 0};
    split_rows(0, g_.luma_rows, 8 * cells_work(g_), [&](int begin, int end, int part) {
        largest_log[part] =
            compute_luminance(p_, g_, mesh_.get(), lut1_, dither_.get(), begin, end, cell_gains(part), out);
    });
    return std::max(largest_log[0], largest_log[1]);
}

void ToneMapCall::block_curves() {
    if (!p_.fixed_curve) {
        split_rows(0, g_.span_rows(), long(g_.half) * g_.luma_cols, [&](int begin, int end, int part) {
            span_histograms(g_, bins_, log_luma_.data(), begin, end, span_hist_.data(),
                            thread_global_hist_.data() + size_t(part) * bins_);
        });
    }
    std::vector<int32_t> global_hist(thread_global_hist_.begin(), thread_global_hist_.begin() + bins_);
    for (int k = 0; k < bins_; ++k) global_hist[k] += thread_global_hist_[size_t(bins_) + k];
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
    split_rows(0, windows, long(bins_) * 16, [&](int begin, int end, int part) {
        for (int w = begin; w < end; ++w) {
            const size_t off = size_t(w) * bins_;
            builder.build_window(g_, span_hist_.data(), w / g_.block_cols, w % g_.block_cols,
                                 block_hist_.data() + off, curves_.data() + off, slopes_.data() + off,
                                 scratch[part]);
        }
    });
}

void ToneMapCall::output() {
    split_rows(0, g_.height, 2 * g_.width, [&](int begin, int end, int part) { output_rows(begin, end, part); });
}

void ToneMapCall::output_rows(int begin, int end, int part) {
    uint64_t* ring = gain_rows_.data() + size_t(part) * 3 * g_.luma_cols;
    uint64_t* column = column_.data() + size_t(part) * g_.luma_cols;
    const int32_t* src = p_.use_corrected_input ? corrected_.data() : p_.image;
    auto source_row = [&](int y) { return src + size_t(y) * g_.width; };
    const uint32_t out_max = uint32_t(p_.out_max);
    if (!local_) {
        auto make_row = [&](int cy, uint64_t* out) { global_gain_row(g_, luma_.data(), lut3_, p_.tm_strength, cy, out); };
        gains_to_output(g_, make_row, source_row, out_max, begin, end, p_.image, ring, column);
        return;
    }
    LocalGainInputs in;
    in.luma = luma_.data();
    in.log_luma = log_luma_.data();
    in.curves = curves_.data();
    in.slopes = slopes_.data();
    in.lut2 = lut2_.data();
    in.weights = &weights_;
    in.norms = norms_.data();
    in.bins = bins_;
    in.out_max = out_max;
    auto make_row = [&](int cy, uint64_t* out) { local_gain_row(g_, in, p_.tm_strength, cy, out); };
    gains_to_output(g_, make_row, source_row, out_max, begin, end, p_.image, ring, column);
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
        call.block_curves();
    }
    call.output();
    return Status{};
}

}  // namespace tonewright
