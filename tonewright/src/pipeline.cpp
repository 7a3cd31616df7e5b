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

    Buffer<int32_t> lut1({kWideLutSize});
    Buffer<int32_t> lut3(local ? std::initializer_list<uint64_t>{0} : std::initializer_list<uint64_t>{kWideLutSize});
    Buffer<int32_t> dither({p.dither.on ? cells : 0});
    Buffer<uint32_t> luma({uint64_t(g.luma_rows), uint64_t(g.luma_cols)});
    Buffer<int32_t> corrected({p.use_corrected_input ? uint64_t(g.height) : 0, uint64_t(g.width)});
    Buffer<uint64_t> gain_map({uint64_t(g.luma_rows), uint64_t(g.luma_cols)});
    Buffer<int64_t> gain_scratch({2, uint64_t(g.luma_cols), 4});
    LocalTables lt;
    std::unique_ptr<LogKnotTable> log_table;
    if (local) {
        const uint64_t windows = uint64_t(g.block_rows) * g.block_cols;
        lt.lut2 = Buffer<int32_t>({kOutputLutSize});
        lt.log_luma = Buffer<int32_t>({cells});
        lt.span_hist = Buffer<int32_t>({uint64_t(g.span_rows()) * g.span_cols(), uint64_t(bins)});
        lt.block_hist = Buffer<int32_t>({windows, uint64_t(bins)});
        lt.curves = Buffer<int32_t>({windows, uint64_t(bins)});
        lt.slopes = Buffer<int32_t>({windows, uint64_t(bins)});
        lt.global_hist.assign(size_t(2) * bins, 0);  // one per thread
    }
    std::unique_ptr<MeshSampler> mesh;
    if (!p.mesh_off) mesh = std::make_unique<MeshSampler>(p, g.luma_cols);

    // Tables first: the dense LUTs on one thread, the serial dither sequence
    // and the small tables on the other.
    run_both(
        [&] {
            expand_segmented_lut(lut1.data(), p.lut1);
            if (!local) expand_segmented_lut(lut3.data(), p.lut3);
        },
        [&] {
            if (p.dither.on) draw_dither_sequence(process_dither(), p.dither, dither.data(), cells);
            if (!local) return;
            expand_segmented_lut(lt.lut2.data(), p.lut2);
            log_table = std::make_unique<LogKnotTable>(p.log_offset);
            const std::vector<double> tent = tent_weights(g.block);
            lt.weights = corner_weights(tent, g.block);
            lt.norms = corner_norms(tent, g.block, 2 * g.block_log2 + 10);
        });

    const LuminanceOutputs lum_out{luma.data(), p.use_corrected_input ? corrected.data() : nullptr};
    split_rows(0, g.luma_rows, 8 * cells_work(g), [&](int begin, int end, int part) {
        compute_luminance(p, g, mesh.get(), lut1.data(), dither.data(), begin, end,
                          gain_scratch.data() + size_t(part) * g.luma_cols * 4, lum_out);
    });

    if (local) {
        int64_t largest[2] = {0, 0};
        split_rows(0, g.luma_rows, cells_work(g), [&](int begin, int end, int part) {
            largest[part] = log_luminance(*log_table, luma.data(), g.log_offset_fixed,
                                          size_t(begin) * g.luma_cols, size_t(end) * g.luma_cols,
                                          lt.log_luma.data());
        });
        if (std::string why = check_log_range(std::max(largest[0], largest[1]), bins); !why.empty())
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

        LocalGainInputs in;
        in.luma = luma.data();
        in.log_luma = lt.log_luma.data();
        in.curves = lt.curves.data();
        in.slopes = lt.slopes.data();
        in.lut2 = lt.lut2.data();
        in.weights = &lt.weights;
        in.norms = lt.norms.data();
        in.bins = bins;
        in.out_max = uint32_t(p.out_max);
        split_rows(0, g.luma_rows, 4 * cells_work(g), [&](int begin, int end, int) {
            local_gains(g, in, p.tm_strength, begin, end, gain_map.data());
        });
    } else {
        split_rows(0, g.luma_rows, cells_work(g), [&](int begin, int end, int) {
            global_gains(g, luma.data(), lut3.data(), p.tm_strength, begin, end, gain_map.data());
        });
    }

    const int32_t* src = p.use_corrected_input ? corrected.data() : p.image;
    split_rows(0, g.height, g.width, [&](int begin, int end, int) {
        apply_gains(g, gain_map.data(), src, uint32_t(p.out_max), begin, end, p.image);
    });
    return Status{};
}

}  // namespace tonewright
