// Black level sweeps on 4 gains x 4 exposures x 4 captures of 2560 x 1440,
// against the time to just read the same files. Usage: DIR [CAPTURES_PER_CONDITION];
// run with 1 and with 8 captures to see that peak memory does not grow with them.
#include <cstdio>
#include <cstdlib>

#include "blc/black_level.h"
#include "blc_capture_set.h"

int main(int argc, char** argv) {
  const bench::BlcBenchSet set = bench::blc_bench_set(argc, argv, "/tmp/tunekit-bench/blc");
  const auto& files = set.files;
  const tuning::blc::BLCFileParam& p = set.file_param;
  const tuning::LineSink quiet = [](const std::string&) {};

  const double read = bench::plain_read_seconds(files);
  bench::report("plain read of every capture", read, read);
  bench::report("gen_blc_param", bench::best_seconds(3, [&] { tuning::blc::gen_blc_param(p, quiet); }), read);
  bench::report("gen_blc_param_v2", bench::best_seconds(3, [&] { tuning::blc::gen_blc_param_v2(p, quiet); }), read);
  return EXIT_SUCCESS;
}
