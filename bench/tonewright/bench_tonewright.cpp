// Times one tmo_v3_bayer call on full-size frames, first call and repeated
// calls, next to a plain copy of the frame in and out in the same run.
// Reports the minimum over samples of the mean over iterations.
//   usage: tonewright_bench [samples] [iterations]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "case_builder.h"
#include "tonewright.h"

using namespace tonewright_cases;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

ExportArgs bench_case(int height, int width, bool global) {
    CaseShape shape{height, width, 1, global, false};
    ExportArgs a = random_case(2024, shape);
    a.block_size_code = 1;  // block 128
    a.mesh_off = 0;
    a.mesh_values.assign(884, 0);
    for (size_t k = 0; k < a.mesh_values.size(); ++k) a.mesh_values[k] = 3500 + int32_t(k * 37 % 1500);
    a.mesh_rows = 13;
    a.mesh_cols = 17;
    a.mesh_step_x = int32_t((int64_t(16) << 20) / (width / 2));
    a.mesh_step_y = int32_t((int64_t(12) << 20) / (height / 2));
    a.noise_on = 1;
    a.noise_bits = 6;
    a.noise_signed = 1;
    a.fixed_curve = 0;
    a.tm_strength = 12;
    return a;
}

struct Figures {
    double first_ms, repeat_ms;
    double cpu_ms;  // processor time of both threads per repeated call
};

double cpu_ms_now() { return 1000.0 * double(std::clock()) / CLOCKS_PER_SEC; }

Figures time_calls(const ExportArgs& proto, int samples, int iterations) {
    ExportArgs a = proto;
    const std::vector<int32_t> frame = proto.image;
    const auto t0 = Clock::now();
    call_tmo(a);
    const double first = ms_since(t0);
    char message[256];
    if (tmo_v3_bayer_status(message, sizeof message) != TMO_STATUS_OK) std::printf("  call rejected: %s\n", message);
    double best = 1e300, best_cpu = 1e300;
    for (int s = 0; s < samples; ++s) {
        double total = 0, cpu = 0;
        for (int i = 0; i < iterations; ++i) {
            std::memcpy(a.image.data(), frame.data(), frame.size() * sizeof(int32_t));  // not timed
            const double c0 = cpu_ms_now();
            const auto t = Clock::now();
            call_tmo(a);
            total += ms_since(t);
            cpu += cpu_ms_now() - c0;
        }
        best = std::min(best, total / iterations);
        best_cpu = std::min(best_cpu, cpu / iterations);
    }
    return {first, best, best_cpu};
}

// The floor any in-place call pays: reading the frame into a working copy
// and writing a result back.
double time_copy(const ExportArgs& proto, int samples, int iterations) {
    std::vector<int32_t> image = proto.image, work(image.size());
    double best = 1e300;
    for (int s = 0; s < samples; ++s) {
        const auto t = Clock::now();
        for (int i = 0; i < iterations; ++i) {
            std::memcpy(work.data(), image.data(), image.size() * sizeof(int32_t));
            work[size_t(i) % work.size()] += 1;
            std::memcpy(image.data(), work.data(), image.size() * sizeof(int32_t));
        }
        best = std::min(best, ms_since(t) / iterations);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 5;
    const int iterations = argc > 2 ? std::atoi(argv[2]) : 4;
    const int sizes[][2] = {{2160, 3840}, {1080, 1920}};
    std::printf("tonewright: ms per call (min over %d samples of the mean of %d calls)\n", samples, iterations);
    std::printf("%-11s %-36s %9s %9s %9s %9s %9s\n", "frame", "mode", "first ms", "ms/call", "MP/s", "x copy",
                "cpu ms");
    for (const auto& size : sizes) {
        const double mp = double(size[0]) * size[1] / 1e6;
        for (bool global : {false, true}) {
            const ExportArgs proto = bench_case(size[0], size[1], global);
            const Figures f = time_calls(proto, samples, iterations);
            const double copy = time_copy(proto, samples, iterations);
            char frame[32];
            std::snprintf(frame, sizeof frame, "%dx%d", size[1], size[0]);
            std::printf("%-11s %-36s %9.1f %9.1f %9.1f %9.1f %9.1f\n", frame,
                        global ? "global LUT, mesh + dither" : "local, block 128, mesh + dither", f.first_ms,
                        f.repeat_ms, mp / f.repeat_ms * 1e3, f.repeat_ms / copy, f.cpu_ms);
            std::printf("%-11s %-36s %9s %9.1f %9.1f\n", frame, "plain copy in and out", "", copy,
                        mp / copy * 1e3);
        }
    }
    return 0;
}
