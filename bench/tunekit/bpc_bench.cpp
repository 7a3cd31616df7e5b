// Hot and cold pixel calibration on 4 gains x 4 captures of 2560 x 1440,
// against the time to just read the same files.
#include <cstdio>
#include <cstdlib>

#include "bpc/bad_pixels.h"
#include "capture_files.h"

namespace {

// Cheap per-pixel hash in 0 .. 2^32-1, different per capture.
std::uint32_t mix(int gain, int capture, std::size_t index) {
  std::uint32_t x = static_cast<std::uint32_t>(index * 2654435761u) ^ static_cast<std::uint32_t>(gain * 7919 + capture * 1299709);
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  return x;
}

// Lit frames around 2000 DN with noise and one pixel in 50000 stuck low.
std::uint16_t lit_value(int gain, int, int capture, std::size_t index) {
  if (index % 49999 == 1234) return 300;
  return static_cast<std::uint16_t>(1980 + (mix(gain, capture, index) & 31));
}

tuning::bpc::BPCFileParam set_params(const std::string& dir, const bench::CaptureSetShape& shape,
                                     tuning::bpc::BPType type) {
  tuning::bpc::BPCFileParam p;
  p.inp_file_dir = dir;
  p.out_file_dir = dir + "/out";
  p.width = shape.width;
  p.height = shape.height;
  p.bits = 12;
  p.bp_type = type;
  for (int g : shape.gains) p.again_list.push_back(tuning::Number::of_integer(g));
  return p;
}

void run(const char* label, const std::string& dir, const bench::CaptureSetShape& shape,
         const std::vector<std::string>& files, tuning::bpc::BPType type, const tuning::bpc::BPCTuningParam& ratios) {
  const auto p = set_params(dir, shape, type);
  const double read = bench::plain_read_seconds(files);
  bench::report(std::string("plain read (") + shape.kind + ")", read, read);
  std::size_t found = 0;
  // Best of several: the figures are meant for a quiet machine.
  const double t = bench::best_seconds(7, [&] {
    const auto result = tuning::bpc::gen_bpc_param(p, ratios);
    found = 0;
    for (const auto& gain : result.static_loc) found += gain.positions.size();
  });
  bench::report(label, t, read);
  std::printf("  %zu bad pixels over all gains\n", found);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root = argc > 1 ? argv[1] : "/tmp/tunekit-bench/bpc";
  bench::CaptureSetShape dark;
  dark.exposures = {20};
  bench::CaptureSetShape light = dark;
  light.kind = "light";
  std::printf("capture sets: %zu gains x %d captures of %d x %d in %s\n", dark.gains.size(),
              dark.captures_per_condition, dark.width, dark.height, root.c_str());
  const auto dark_files = bench::ensure_capture_set(root + "/dark", dark);
  const auto light_files = bench::ensure_capture_set(root + "/light", light, lit_value);

  tuning::bpc::BPCTuningParam ratios;
  ratios.dark_thr_ratio = 0.1;
  ratios.light_thr_ratio = 20.0;
  run("gen_bpc_param Hot", root + "/dark", dark, dark_files, tuning::bpc::BPType::Hot, ratios);
  run("gen_bpc_param Cold", root + "/light", light, light_files, tuning::bpc::BPType::Cold, ratios);
  return EXIT_SUCCESS;
}
