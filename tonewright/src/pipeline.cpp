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

struct LocalTables {
    Buffer<int32_t> lut2, log_luma, span_hist, block_hist, curves, slopes;
    std::vector<int32_t> global_hist;
    CornerWeights weights;
    std::vector<uint32_t> norms;
};

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

Status run_tone_mapping(const TmoParams& p) {
    const Geometry g = Geometry::of(p);
    if (std::string why = check_params(p, g); !why.empty()) return rejected(why);

    const size_t cells = size_t(g.luma_rows) * size_t(g.luma_cols);
    const bool local = !p.global_lut_mode;
    const int bins = p.bins;

    // LUT 1 and LUT 3 are read from their knots; only a descriptor whose
    // segments overlap needs its dense table.
    LutReader lut1(p.lut1, kWideLutSize);
    LutReader lut3(local ? LutDescriptor{} : p.lut3, kWideLutSize);
    Buffer<int32_t> lut1_table({lut1.needs_table() ? kWideLutSize : 0});  // unreached entries stay 0
    Buffer<int32_t> lut3_table({!local && lut3.needs_table() ? kWideLutSize : 0});
    std::unique_ptr<DitherTable> dither;
    Buffer<uint32_t> luma({uint64_t(g.luma_rows), uint64_t(g.luma_cols)}, Fill::overwritten);
    // The corrected frame is remade row by row in the output pass rather than
    // kept: a frame-sized array costs more to fill and read than to recompute.
    Buffer<int32_t> corrected_rows({2, uint64_t(g.width)});
    Buffer<uint64_t> gain_rows({2, 3, uint64_t(g.luma_cols)});  // per thread: the gain rows in use
    Buffer<int64_t> gain_scratch({2, uint64_t(g.luma_cols), 4});  // per thread: mesh gains of a cell row
    Buffer<uint64_t> column_scratch({2, uint64_t(g.luma_cols)});  // per thread: column blends of a pixel row
    LocalTables lt;
    std::unique_ptr<LogKnotTable> log_table;
    if (local) {
        const uint64_t windows = uint64_t(g.block_rows) * g.block_cols;
        lt.lut2 = Buffer<int32_t>({kOutputLutSize});
        lt.log_luma = Buffer<int32_t>({cells}, Fill::overwritten);
        lt.span_hist = Buffer<int32_t>({uint64_t(g.span_rows()) * g.span_cols(), uint64_t(bins)});
        lt.block_hist = Buffer<int32_t>({windows, uint64_t(bins)});
        lt.curves = Buffer<int32_t>({windows, uint64_t(bins)});
        lt.slopes = Buffer<int32_t>({windows, uint64_t(bins)});
        lt.global_hist.assign(size_t(2) * bins, 0);  // one per thread
    }
    std::unique_ptr<MeshSampler> mesh;
    if (!p.mesh_off) mesh = std::make_unique<MeshSampler>(p, g.luma_cols);

    // Tables first: any dense LUT on one thread, the dither values and the
    // small tables on the other.
    run_both(
        [&] {
            if (lut1.needs_table()) {
                expand_segmented_lut(lut1_table.data(), p.lut1);
                lut1.use_table(lut1_table.data());
            }
            if (!local && lut3.needs_table()) {
                expand_segmented_lut(lut3_table.data(), p.lut3);
                lut3.use_table(lut3_table.data());
            }
        },
        [&] {
            if (p.dither.on) dither = std::make_unique<DitherTable>(p.dither);
            if (!local) return;
            expand_segmented_lut(lt.lut2.data(), p.lut2);
            log_table = std::make_unique<LogKnotTable>(p.log_offset);
            const std::vector<double> tent = tent_weights(g.block);
            lt.weights = corner_weights(tent, g.block);
            lt.norms = corner_norms(tent, g.block, 2 * g.block_log2 + 10);
        });

    LuminanceOutputs lum_out;
    lum_out.luma = luma.data();
    if (local) {
        lum_out.log_table = log_table.get();
        lum_out.log_offset_fixed = g.log_offset_fixed;
        lum_out.log_luma = lt.log_luma.data();
    }
    int64_t largest_log[2] = {0, 0};
    split_rows(0, g.luma_rows, 8 * cells_work(g), [&](int begin, int end, int part) {
        largest_log[part] = compute_luminance(p, g, mesh.get(), lut1, dither.get(), begin, end,
                                              gain_scratch.data() + size_t(part) * g.luma_cols * 4, lum_out);
    });

    if (local) {
        if (std::string why = check_log_range(std::max(largest_log[0], largest_log[1]), bins); !why.empty())
            return rejected(why);

        if (!p.fixed_curve) {
            split_rows(0, g.span_rows(), long(g.half) * g.luma_cols, [&](int begin, int end, int part) {
                span_histograms(g, bins, lt.log_luma.data(), begin, end, lt.span_hist.data(),
                                lt.global_hist.data() + size_t(part) * bins);
            });
        }
        std::vector<int32_t> global_hist(lt.global_hist.begin(), lt.global_hist.begin() + bins);
        for (int k = 0; k < bins; ++k) global_hist[k] += lt.global_hist[size_t(bins) + k];
        const CurveBuilder builder(p, g, global_hist);

        const int windows = g.block_rows * g.block_cols;
        if (p.fixed_curve) {
            builder.build_fixed(lt.curves.data(), lt.slopes.data());
            for (int w = 1; w < windows; ++w) {
                std::copy_n(lt.curves.data(), bins, lt.curves.data() + size_t(w) * bins);
                std::copy_n(lt.slopes.data(), bins, lt.slopes.data() + size_t(w) * bins);
            }
        } else {
            std::vector<double> scratch[2];
            scratch[0].reserve(bins);
            scratch[1].reserve(bins);
            split_rows(0, windows, long(bins) * 16, [&](int begin, int end, int part) {
                for (int w = begin; w < end; ++w) {
                    const size_t off = size_t(w) * bins;
                    builder.build_window(g, lt.span_hist.data(), w / g.block_cols, w % g.block_cols,
                                         lt.block_hist.data() + off, lt.curves.data() + off,
                                         lt.slopes.data() + off, scratch[part]);
                }
            });
        }
    }

    // Gains row by row straight into the caller's frame: from here on
    // nothing can fail.
    LocalGainInputs in;
    if (local) {
        in.luma = luma.data();
        in.log_luma = lt.log_luma.data();
        in.curves = lt.curves.data();
        in.slopes = lt.slopes.data();
        in.lut2 = lt.lut2.data();
        in.weights = &lt.weights;
        in.norms = lt.norms.data();
        in.bins = bins;
        in.out_max = uint32_t(p.out_max);
    }
    split_rows(0, g.height, 2 * g.width, [&](int begin, int end, int part) {
        uint64_t* ring = gain_rows.data() + size_t(part) * 3 * g.luma_cols;
        uint64_t* column = column_scratch.data() + size_t(part) * g.luma_cols;
        int64_t* cell_gains = gain_scratch.data() + size_t(part) * g.luma_cols * 4;
        int32_t* corrected = corrected_rows.data() + size_t(part) * g.width;
        int gains_row = -1;
        auto source_row = [&](int y) -> const int32_t* {
            if (!p.use_corrected_input) return p.image + size_t(y) * g.width;
            if (mesh && gains_row != y >> 1) {
                mesh->row_gains(y >> 1, cell_gains);
                gains_row = y >> 1;
            }
            corrected_row(p, g, mesh != nullptr, y, cell_gains, corrected);
            return corrected;
        };
        if (local) {
            gains_to_output(g, [&](int cy, uint64_t* out) { local_gain_row(g, in, p.tm_strength, cy, out); },
                            source_row, uint32_t(p.out_max), begin, end, p.image, ring, column);
        } else {
            gains_to_output(
                g, [&](int cy, uint64_t* out) { global_gain_row(g, luma.data(), lut3, p.tm_strength, cy, out); },
                source_row, uint32_t(p.out_max), begin, end, p.image, ring, column);
        }
    });
    return Status{};
}

}  // namespace tonewright
