// Dark shading mesh tables on 4 gains x 4 exposures x 4 captures of
// 2560 x 1440, against the time to just read the same files. A full-frame
// double-precision running sum of the same captures is timed too, to show
// what reducing each capture to its blocks as it is read saves.
// Usage: DIR [CAPTURES_PER_CONDITION].
#include <cstdio>
#include <cstdlib>

#include "blc/dark_shading.h"
#include "blc_capture_set.h"
#include "shared/raw_capture.h"

namespace {

// Sum of every capture into one double frame, one capture at a time.
void full_frame_running_sum(const std::vector<std::string>& files, std::size_t samples) {
  std::vector<double> sum(samples, 0.0);
  for (const auto& path : files) {
    const tuning::Samples frame = tuning::read_raw_u16(path);
    for (std::size_t i = 0; i < samples && i < frame.size(); ++i) sum[i] += frame[i];
  }
  if (sum[samples / 2] < 0) std::printf("impossible\n");
}

}  // namespace

int main(int argc, char** argv) {
  const bench::BlcBenchSet set = bench::blc_bench_set(argc, argv, "/tmp/tunekit-bench/dark_shading");
  const auto& files = set.files;
  const auto& shape = set.shape;
  const tuning::blc::BLCFileParam& p = set.file_param;
  const tuning::blc::BLCTuningParam t;
  const tuning::LineSink quiet = [](const std::string&) {};

  const double read = bench::plain_read_seconds(files);
  bench::report("plain read of every capture", read, read);
  const double tuning_s = bench::best_seconds(5, [&] { tuning::blc::dark_shading_tuning(p, t, quiet); });
  bench::report("dark_shading_tuning (24 x 24 mesh)", tuning_s, read);
  const std::size_t samples = static_cast<std::size_t>(shape.width) * static_cast<std::size_t>(shape.height);
  bench::report("full-frame double running sum (for comparison)",
                bench::best_seconds(3, [&] { full_frame_running_sum(files, samples); }), read);
  std::printf("peak RSS: %.1f MiB\n", bench::peak_rss_mib());
  return EXIT_SUCCESS;
}
