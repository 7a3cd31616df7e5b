// Corrected frame and luminance plane: shading mesh, white balance, colour
// matrix, luminance mix, LUT 1 and dither, one 2x2 Bayer cell at a time.
#include <algorithm>
#include <cstdint>

#include "stages.h"

namespace tonewright {

namespace {

// The mesh values the caller passes: 4 planes of this many rows and columns.
constexpr int kMeshValueRows = 13;
constexpr int kMeshValueCols = 17;
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

uint64_t as_u64(int64_t v) { return uint64_t(v); }

// A raw pixel in high precision (8 fractional bits) after the shading gain
// (12 fractional bits) and the white-balance gain, clamped at every step.
template <bool kMesh>
inline uint64_t high_precision(int32_t raw, int64_t mesh_gain, uint64_t wb) {
    uint64_t v;
    if (kMesh) {
        v = (as_u64(raw) * as_u64(mesh_gain)) >> (GainQ12::frac_bits - HighPrecQ8::frac_bits);
        v = std::min(v, kHpMax);
    } else {
        v = as_u64(raw) << HighPrecQ8::frac_bits;
    }
    return std::min((v * wb) >> GainQ12::frac_bits, kHpMax);
}

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
    col_taps_.resize(luma_cols);
    uint32_t pos = uint32_t(p.mesh_start_x >> 1);
    for (int c = 0; c < luma_cols; ++c) {
        pos += uint32_t(p.mesh_step_x);  // the even column advances before use
        Tap t = tap_at(pos, p.mesh_cols);
        // Columns past the given values all read the zero slot.
        t.a = std::min(t.a, kMeshValueCols);
        t.b = std::min(t.b, kMeshValueCols);
        col_taps_[c] = t;
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

void MeshSampler::row_gains(int cell_row, int64_t* out) const {
    static_assert(kMeshIndexMax < 4096, "mesh index fits the tap range");
    const uint32_t pos = uint32_t(p_.mesh_start_y >> 1) + uint32_t(cell_row + 1) * uint32_t(p_.mesh_step_y);
    const Tap row = tap_at(pos, p_.mesh_rows);
    // Vertical blend of every mesh column that holds values, already in
    // cell-position order; one more slot stands for all the zero columns
    // beyond them.
    int64_t vertical[kCellPositions][kMeshValueCols + 1];
    for (int k = 0; k < kCellPositions; ++k) {
        const int plane = plane_of_position_[k];
        for (int c = 0; c < kMeshValueCols; ++c)
            vertical[k][c] =
                (value(plane, row.b, c) * row.w1 + value(plane, row.a, c) * row.w0) >> MeshPosQ20::frac_bits;
        vertical[k][kMeshValueCols] = 0;
    }
    for (size_t c = 0; c < col_taps_.size(); ++c) {
        const Tap& t = col_taps_[c];
        for (int k = 0; k < kCellPositions; ++k)
            out[c * kCellPositions + k] = (vertical[k][t.b] * t.w1 + vertical[k][t.a] * t.w0) >> MeshPosQ20::frac_bits;
    }
}

namespace {

struct LuminanceJob {
    const TmoParams& p;
    const Geometry& g;
    const MeshSampler* mesh;
    const LutReader& lut1;
    const DitherTable* dither;
    int64_t* gain_scratch;
    const LuminanceOutputs& out;
};

// The stage with its optional steps fixed at compile time, so the cell loop
// carries no tests of them.
template <bool kMesh, bool kCorrected, bool kDither, bool kLog>
int64_t luminance_rows(const LuminanceJob& job, int row_begin, int row_end) {
    const TmoParams& p = job.p;
    const Geometry& g = job.g;
    const CellLayout lay = kLayout[p.cfa_pattern];
    uint64_t wb[kCellPositions];
    wb_gains(p, wb);
    const uint64_t lw[4] = {as_u64(p.luma_w[0]), as_u64(p.luma_w[1]), as_u64(p.luma_w[2]),
                            as_u64(p.luma_w[3])};
    const int dither_shift = p.dither.shift & 31;
    const size_t w = size_t(g.width);
    DitherGenerator gen;
    if (kDither) gen = dither_at(p.dither, size_t(row_begin) * g.luma_cols);
    int64_t largest_log = 0;

    for (int cr = row_begin; cr < row_end; ++cr) {
        if (kMesh) job.mesh->row_gains(cr, job.gain_scratch);
        const int32_t* in_rows[2] = {p.image + size_t(2 * cr) * w, p.image + size_t(2 * cr + 1) * w};
        int32_t* corr_rows[2] = {nullptr, nullptr};
        if (kCorrected) {
            corr_rows[0] = job.out.corrected + size_t(2 * cr) * w;
            corr_rows[1] = corr_rows[0] + w;
        }
        const size_t cell_base = size_t(cr) * g.luma_cols;
        for (int cc = 0; cc < g.luma_cols; ++cc) {
            uint64_t hp[kCellPositions];
            for (int k = 0; k < kCellPositions; ++k) {
                const int x = 2 * cc + (k & 1);
                const int64_t mesh_gain = kMesh ? job.gain_scratch[size_t(cc) * kCellPositions + k] : 0;
                const uint64_t v = high_precision<kMesh>(in_rows[k >> 1][x], mesh_gain, wb[k]);
                hp[k] = v;
                if (kCorrected) corr_rows[k >> 1][x] = int32_t(v >> HighPrecQ8::frac_bits);
            }
            const int64_t rgb[3] = {int64_t(hp[lay.r]), int64_t((hp[lay.g1] + hp[lay.g2]) >> 1),
                                    int64_t(hp[lay.b])};
            uint64_t m[3];
            for (int k = 0; k < 3; ++k) {
                const int64_t acc = p.ccm[3 * k] * rgb[0] + p.ccm[3 * k + 1] * rgb[1] + p.ccm[3 * k + 2] * rgb[2];
                // Truncating division equals trunc(acc / 4096.0) wherever the
                // result is not clamped anyway.
                const int64_t v = acc / GainQ12::one;
                m[k] = v < 0 ? 0 : std::min(uint64_t(v), kHpMax);
            }
            const uint64_t mx = std::max(m[0], std::max(m[1], m[2]));
            uint64_t y = (lw[0] * m[0] + lw[1] * m[1] + lw[2] * m[2] + lw[3] * mx) >> LumaWeightQ16::frac_bits;
            y = std::min<uint64_t>(y, kLumaMax);
            y = uint32_t(job.lut1[uint32_t(y)]);
            if (kDither) {
                // Positive values add, others subtract down to 0; written
                // without a branch since the sign is random.
                const int64_t n = (*job.dither)[gen.step()];
                const uint64_t up = uint64_t(std::max<int64_t>(n, 0)) << dither_shift;
                const uint64_t down = uint64_t(std::max<int64_t>(-n, 0)) << dither_shift;
                y += up;
                y = y > down ? y - down : 0;
            }
            const uint32_t luma = uint32_t(std::min<uint64_t>(y, kLumaMax));
            job.out.luma[cell_base + cc] = luma;
            if (kLog) {
                const int64_t lifted = log_luminance(*job.out.log_table, luma, job.out.log_offset_fixed);
                largest_log = std::max(largest_log, lifted);
                job.out.log_luma[cell_base + cc] = int32_t(std::min<int64_t>(lifted, INT32_MAX));
            }
        }
    }
    return largest_log;
}

using RowsFn = int64_t (*)(const LuminanceJob&, int, int);

template <int Flags>
constexpr RowsFn rows_variant() {
    return &luminance_rows<bool(Flags & 8), bool(Flags & 4), bool(Flags & 2), bool(Flags & 1)>;
}

template <int... Flags>
constexpr RowsFn pick(int flags, std::integer_sequence<int, Flags...>) {
    constexpr RowsFn table[] = {rows_variant<Flags>()...};
    return table[flags];
}

}  // namespace

int64_t compute_luminance(const TmoParams& p, const Geometry& g, const MeshSampler* mesh, const LutReader& lut1,
                          const DitherTable* dither, int row_begin, int row_end, int64_t* gain_scratch,
                          const LuminanceOutputs& out) {
    const LuminanceJob job{p, g, mesh, lut1, dither, gain_scratch, out};
    const int flags = (mesh ? 8 : 0) | (out.corrected ? 4 : 0) | (dither ? 2 : 0) | (out.log_luma ? 1 : 0);
    return pick(flags, std::make_integer_sequence<int, 16>())(job, row_begin, row_end);
}

}  // namespace tonewright
