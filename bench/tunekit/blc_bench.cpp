// Black level sweeps on 4 gains x 4 exposures x 4 captures of 2560 x 1440,
// against the time to just read the same files. Usage: DIR [CAPTURES_PER_CONDITION];
// run with 1 and with 8 captures to see that peak memory does not grow with them.
#include <cstdio>
#include <cstdlib>

#include "blc/black_level.h"
#include "capture_files.h"

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp/tunekit-bench/blc";
  bench::CaptureSetShape shape;
  if (argc > 2) shape.captures_per_condition = std::atoi(argv[2]);
  std::printf("capture set: %zu gains x %zu exposures x %d captures of %d x %d in %s\n", shape.gains.size(),
              shape.exposures.size(), shape.captures_per_condition, shape.width, shape.height, dir.c_str());
  const auto files = bench::ensure_capture_set(dir, shape);

  tuning::blc::BLCFileParam p;
  p.inp_file_dir = dir;
  p.out_file_dir = dir + "/out";
  p.width = shape.width;
  p.height = shape.height;
  p.bits = 12;
  for (int g : shape.gains) p.again_list.push_back(tuning::Number::of_integer(g));
  for (int e : shape.exposures) p.exp_time_list.push_back(tuning::Number::of_integer(e));
  const tuning::LineSink quiet = [](const std::string&) {};

  const double read = bench::plain_read_seconds(files);
  bench::report("plain read of every capture", read, read);
  bench::report("gen_blc_param", bench::best_seconds(3, [&] { tuning::blc::gen_blc_param(p, quiet); }), read);
  bench::report("gen_blc_param_v2", bench::best_seconds(3, [&] { tuning::blc::gen_blc_param_v2(p, quiet); }), read);
  return EXIT_SUCCESS;
}
