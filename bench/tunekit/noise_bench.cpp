// Read noise and shot noise calibrations on 4 gains x 8 captures of
// 2560 x 1440 each, against the time to just read the same files.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>

#include "capture_files.h"
#include "noise_profile/read_noise_model.h"
#include "noise_profile/shot_noise_model.h"
#include "shared/raw_capture.h"

namespace {

constexpr int kBlack = 256;
constexpr int kWhite = 4095;

std::uint32_t hash(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  return x;
}

// A horizontal ramp from black level to about a third of the range, with
// noise whose spread grows with the gain: the shot noise search finds levels.
std::uint16_t noisy_ramp(int gain, int, int capture, std::size_t index, int width) {
  const int column = static_cast<int>(index % static_cast<std::size_t>(width));
  const int level = kBlack + column * 1300 / width;
  const std::uint32_t h = hash(static_cast<std::uint32_t>(index) * 31u + static_cast<std::uint32_t>(capture) * 7919u +
                               static_cast<std::uint32_t>(gain));
  const int noise = static_cast<int>(h & 15) - 8;
  return static_cast<std::uint16_t>(level + noise * gain / 2);
}

// Processor time of the whole process (all threads), best of `repeats`: on a
// shared machine it shows the work done apart from waiting for a core.
double best_cpu_seconds(int repeats, const std::function<void()>& fn) {
  const auto now = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
  };
  double best = std::numeric_limits<double>::infinity();
  for (int i = 0; i < repeats; ++i) {
    const double t0 = now();
    fn();
    best = std::min(best, now() - t0);
  }
  return best;
}

// One pass of the plain read the routines are measured against (the same
// reader and buffer reuse as bench::plain_read_seconds).
void read_all(const std::vector<std::string>& files) {
  tuning::RawBuffer buffer;
  for (const auto& f : files) tuning::read_raw_u16_into(f, buffer);
}

void compare(const char* label, const std::function<void()>& routine, const std::function<void()>& read) {
  const double read_wall = bench::best_seconds(5, read);
  bench::report(std::string("plain read for ") + label, read_wall, read_wall);
  bench::report(label, bench::best_seconds(5, routine), read_wall);
  const double read_cpu = best_cpu_seconds(5, read), routine_cpu = best_cpu_seconds(5, routine);
  std::printf("%-34s %8.3f s cpu vs %.3f s cpu of the read: %5.2fx (all threads)\n", label, routine_cpu, read_cpu,
              routine_cpu / read_cpu);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root = argc > 1 ? argv[1] : "/tmp/tunekit-bench/noise";
  bench::CaptureSetShape shape;
  shape.exposures = {20};
  shape.captures_per_condition = 8;
  std::printf("capture sets: %zu gains x %d captures of %d x %d in %s/{dark,noise}\n", shape.gains.size(),
              shape.captures_per_condition, shape.width, shape.height, root.c_str());
  const auto dark_files = bench::ensure_capture_set(root + "/dark", shape);
  bench::CaptureSetShape noise_shape = shape;
  noise_shape.kind = "noise";
  const int width = shape.width;
  const auto noise_files =
      bench::ensure_capture_set(root + "/noise", noise_shape,
                                [width](int g, int e, int c, std::size_t i) { return noisy_ramp(g, e, c, i, width); });

  tuning::noise::ReadNoiseFileParam rp;
  rp.inp_file_dir = root + "/dark";
  rp.width = shape.width;
  rp.height = shape.height;
  rp.bits = 12;
  for (int g : shape.gains) rp.again_list.push_back(tuning::Number::of_integer(g));
  tuning::noise::ReadNoiseTuningParam rt;
  rt.black_level = {kBlack, kBlack, kBlack, kBlack};
  rt.white_level = {kWhite, kWhite, kWhite, kWhite};

  tuning::noise::ShotNoiseFileParam sp;
  static_cast<tuning::FileParam&>(sp) = rp;
  sp.inp_file_dir = root + "/noise";
  sp.again_list = rp.again_list;
  tuning::noise::ShotNoiseTuningParam st;
  st.black_level = rt.black_level;
  st.white_level = rt.white_level;

  compare(
      "calibrate_read_noise", [&] { tuning::noise::calibrate_read_noise(rp, rt); }, [&] { read_all(dark_files); });
  compare(
      "calibrate_shot_noise", [&] { tuning::noise::calibrate_shot_noise(sp, st); }, [&] { read_all(noise_files); });
  const auto profile = tuning::noise::calibrate_shot_noise(sp, st);
  std::printf("shot noise factor, cell 0: %.6g g + %.6g (raw DN)\n", profile.coeffs[0][0], profile.coeffs[0][1]);
  std::printf("goals: read noise within 1.5x, shot noise within 2.5x of the plain read\n");
  return EXIT_SUCCESS;
}
