// Times tmo_v3_bayer on full-size frames (local mode with blocks of 128 and
// 64, and global mode; mesh and dither on) next to, in the same run, a
// plain copy of the frame in and out and OpenCV's CLAHE on the same frame
// as 16-bit values, with 8 x 8 tiles and with one tile per block. Prints ms
// per call, megapixels per second and the ratios to both baselines, the
// instruction set the kernels run on and the load average before and after.
// Reports the minimum over samples of the mean over iterations.
//   usage: tonewright_bench [samples] [iterations]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "case_builder.h"
#include "row_kernels.h"
#include "tonewright.h"

using namespace tonewright_cases;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kThreads = 2;          // the library's threads, and OpenCV's
constexpr int kClaheFixedTiles = 8;  // the tile grid an engineer would pick first
constexpr double kClaheClip = 2.0;   // OpenCV's default clip limit
constexpr int kSixteenBitShift = 4;  // 20-bit frame values to 16 bits

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double cpu_ms_now() { return 1000.0 * double(std::clock()) / CLOCKS_PER_SEC; }

ExportArgs bench_case(int height, int width, bool global, int32_t block_code) {
  CaseShape shape{height, width, block_code, global, false};
  ExportArgs a = random_case(2024, shape);
  a.block_size_code = block_code;
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
  double first_ms = 0, repeat_ms = 0;
  double cpu_ms = 0;  // processor time of all threads per repeated call
};

// `prepare` runs untimed before each timed `run`.
Figures time_runs(const std::function<void()>& prepare, const std::function<void()>& run, int samples, int iterations) {
  Figures f;
  prepare();
  const auto t0 = Clock::now();
  run();
  f.first_ms = ms_since(t0);
  f.repeat_ms = f.cpu_ms = 1e300;
  for (int s = 0; s < samples; ++s) {
    double total = 0, cpu = 0;
    for (int i = 0; i < iterations; ++i) {
      prepare();
      const double c0 = cpu_ms_now();
      const auto t = Clock::now();
      run();
      total += ms_since(t);
      cpu += cpu_ms_now() - c0;
    }
    f.repeat_ms = std::min(f.repeat_ms, total / iterations);
    f.cpu_ms = std::min(f.cpu_ms, cpu / iterations);
  }
  return f;
}

Figures time_tone_mapping(const ExportArgs& proto, int samples, int iterations) {
  ExportArgs a = proto;
  Figures f = time_runs([&] { std::memcpy(a.image.data(), proto.image.data(), proto.image.size() * sizeof(int32_t)); },
                        [&] { call_tmo(a); }, samples, iterations);
  char message[256];
  if (tmo_v3_bayer_status(message, sizeof message) != TMO_STATUS_OK) std::printf("  call rejected: %s\n", message);
  return f;
}

// The floor any in-place call pays: reading the frame into a working copy
// and writing a result back.
Figures time_copy(const ExportArgs& proto, int samples, int iterations) {
  std::vector<int32_t> image = proto.image, work(image.size());
  size_t i = 0;
  return time_runs([] {},
                   [&] {
                     std::memcpy(work.data(), image.data(), image.size() * sizeof(int32_t));
                     work[i++ % work.size()] += 1;
                     std::memcpy(image.data(), work.data(), image.size() * sizeof(int32_t));
                   },
                   samples, iterations);
}

Figures time_clahe(const ExportArgs& proto, int tiles_x, int tiles_y, int samples, int iterations) {
  cv::Mat src(proto.height, proto.width, CV_16UC1), dst;
  for (int y = 0; y < proto.height; ++y) {
    uint16_t* row = src.ptr<uint16_t>(y);
    for (int x = 0; x < proto.width; ++x)
      row[x] = uint16_t(std::min<int32_t>(proto.image[size_t(y) * proto.width + x] >> kSixteenBitShift, 0xFFFF));
  }
  cv::Ptr<cv::CLAHE> clahe = cv::createCLAHE(kClaheClip, cv::Size(tiles_x, tiles_y));
  return time_runs([] {}, [&] { clahe->apply(src, dst); }, samples, iterations);
}

double load_average() {
  double load[1] = {0};
  return getloadavg(load, 1) == 1 ? load[0] : -1;
}

void print_row(const char* frame, const std::string& what, const Figures& f, double mp, double copy_ms,
               double clahe_ms) {
  std::printf("%-11s %-40s %9.1f %9.2f %9.1f %9.1f %9.1f %9.2f\n", frame, what.c_str(), f.first_ms, f.repeat_ms,
              mp / f.repeat_ms * 1e3, f.cpu_ms, f.repeat_ms / copy_ms, f.repeat_ms / clahe_ms);
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int iterations = argc > 2 ? std::max(1, std::atoi(argv[2])) : 4;
  const int sizes[][2] = {{2160, 3840}, {1080, 1920}};
  cv::setNumThreads(kThreads);
  std::printf("tonewright: ms per call (min over %d samples of the mean of %d calls)\n", samples, iterations);
  std::printf("kernels: %s; OpenCV threads: %d; load average before: %.2f\n", tonewright::best_kernels().name,
              cv::getNumThreads(), load_average());
  std::printf("%-11s %-40s %9s %9s %9s %9s %9s %9s\n", "frame", "run", "first ms", "ms/call", "MP/s", "cpu ms",
              "x copy", "x CLAHE8");
  for (const auto& size : sizes) {
    const int h = size[0], w = size[1];
    const double mp = double(h) * w / 1e6;
    char frame[32];
    std::snprintf(frame, sizeof frame, "%dx%d", w, h);
    const ExportArgs base = bench_case(h, w, false, 1);
    const Figures copy = time_copy(base, samples, iterations);
    const Figures clahe8 = time_clahe(base, kClaheFixedTiles, kClaheFixedTiles, samples, iterations);
    print_row(frame, "plain copy in and out", copy, mp, copy.repeat_ms, clahe8.repeat_ms);
    print_row(frame, "OpenCV CLAHE 16-bit, 8 x 8 tiles", clahe8, mp, copy.repeat_ms, clahe8.repeat_ms);
    struct Mode {
      int32_t code;  // block size code: 1 is 128, 0 is 64
      int block;
    };
    for (const Mode m : {Mode{1, 128}, Mode{0, 64}}) {
      const int tx = (w + m.block / 2) / m.block, ty = (h + m.block / 2) / m.block;
      const Figures clahe = time_clahe(base, tx, ty, samples, iterations);
      print_row(frame, "OpenCV CLAHE 16-bit, " + std::to_string(tx) + " x " + std::to_string(ty) + " tiles", clahe, mp,
                copy.repeat_ms, clahe8.repeat_ms);
      const Figures f = time_tone_mapping(bench_case(h, w, false, m.code), samples, iterations);
      print_row(frame, "local, block " + std::to_string(m.block) + ", mesh + dither", f, mp, copy.repeat_ms,
                clahe8.repeat_ms);
      std::printf("%-11s %-40s %9s %9s %9s %9s %9s %9.2f\n", frame, "  (x CLAHE with one tile per block)", "", "", "",
                  "", "", f.repeat_ms / clahe.repeat_ms);
    }
    const Figures global = time_tone_mapping(bench_case(h, w, true, 1), samples, iterations);
    print_row(frame, "global LUT, mesh + dither", global, mp, copy.repeat_ms, clahe8.repeat_ms);
  }
  std::printf("load average after: %.2f\n", load_average());
  return 0;
}
