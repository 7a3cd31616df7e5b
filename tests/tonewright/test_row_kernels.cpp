// Every kernel table the processor runs against the reference pipeline,
// bit for bit: the vector tables must agree with it on every path, their
// fallbacks to the per-cell code included.
#include <gtest/gtest.h>

#include <cstdio>

#include "row_kernels.h"
#include "test_support.h"

using namespace test_support;
using tonewright_cases::CaseShape;
using tonewright_cases::random_case;

namespace {

// Makes the calls of one scope use one kernel table.
class ForcedKernels {
public:
    explicit ForcedKernels(const tonewright::Kernels& k) { tonewright::force_kernels(&k); }
    ~ForcedKernels() { tonewright::force_kernels(nullptr); }
};

// The cases every table runs: both modes, the frame sizes whose rows end
// inside a vector, wild pixels, corrected input, dither shifts, mesh runs
// that wrap and LUTs the lanes cannot take.
std::vector<std::pair<std::string, ExportArgs>> kernel_cases() {
    std::vector<std::pair<std::string, ExportArgs>> cases;
    const int sizes[][2] = {{132, 196}, {70, 138}, {196, 134}, {260, 330}, {130, 258}, {134, 142}};
    for (uint64_t seed = 1; seed <= 12; ++seed) {
        CaseShape shape;
        shape.height = sizes[seed % 6][0];
        shape.width = sizes[seed % 6][1];
        shape.wild_frame = seed % 3 == 0;
        ExportArgs a = random_case(seed, shape);
        a.use_corrected_input = int32_t(seed % 2);
        if (seed % 4 == 1) a.noise_shift = 33;  // shift 1 after the mask of 5 bits
        cases.emplace_back("local seed " + std::to_string(seed), a);
    }
    for (uint64_t seed = 200; seed < 206; ++seed) {
        CaseShape shape;
        shape.height = 2 * (12 + int(seed % 30));
        shape.width = 2 * (9 + int(seed * 7 % 50));
        shape.global_lut_mode = true;
        shape.wild_frame = seed % 2 == 0;
        cases.emplace_back("global seed " + std::to_string(seed), random_case(seed, shape));
    }
    {
        // Block 128 with interior spans, and LUT 1 steps too steep for 32 bits.
        CaseShape shape{400, 520, 1, false, false};
        ExportArgs a = random_case(77, shape);
        for (size_t k = 0; k < a.lut1.knots.size(); ++k) a.lut1.knots[k] = int32_t(k % 2 ? 0x7FFF0000 : -0x7FFF0000);
        cases.emplace_back("lut1 steps past 31 bits", a);
        ExportArgs b = random_case(78, shape);
        b.mesh_values[5] = -3000;  // negative gains in part of the frame
        b.mesh_off = 0;
        b.mesh_step_x = -b.mesh_step_x;  // positions run backwards and wrap
        b.use_corrected_input = 1;
        cases.emplace_back("negative mesh gains, wrapping columns", b);
    }
    for (bool global : {false, true}) {
        ExportArgs a = small_case(31, 132, 196, global);
        tonewright_cases::LutArrays& lut = global ? a.lut3 : a.lut1;
        lut.seg_end = {16, 8, 1u << 22};  // overlapping segments: the dense table
        lut.seg_shift = {0, 4, 14};
        cases.emplace_back(global ? "dense lut3" : "dense lut1", a);
    }
    {
        ExportArgs a = small_case(43);
        a.tm_strength = 23;  // above 16: the linear share wraps
        for (size_t k = 0; k < a.lut2.knots.size(); k += 3) a.lut2.knots[k] = -a.lut2.knots[k] - 7;
        cases.emplace_back("negative lut2, strength 23", a);
        ExportArgs b = small_case(44);
        b.wb_gain[1] = -5;  // white balance the lanes do not take
        b.ccm[4] = 1 << 21;
        cases.emplace_back("negative white balance, large matrix", b);
    }
    return cases;
}

}  // namespace

TEST(RowKernels, EveryTableMatchesTheReference) {
    const auto cases = kernel_cases();
    ASSERT_GE(tonewright::available_kernel_count(), 1);
    for (int t = 0; t < tonewright::available_kernel_count(); ++t) {
        const tonewright::Kernels& k = tonewright::available_kernels(t);
        std::printf("kernel table %s\n", k.name);
        ForcedKernels forced(k);
        for (const auto& c : cases) expect_matches_reference(c.second, std::string(k.name) + ", " + c.first);
    }
}

TEST(RowKernels, TheBestTableComesFirst) {
    EXPECT_EQ(&tonewright::best_kernels(), &tonewright::available_kernels(0));
    EXPECT_STREQ(tonewright::available_kernels(tonewright::available_kernel_count() - 1).name, "scalar");
#if TONEWRIGHT_SIMD
    // A machine that runs this build runs at least one vector table.
    EXPECT_GE(tonewright::available_kernel_count(), 2);
#endif
}
