// The black level records describing a benchmark capture set, shared by the
// benchmarks of the black level module.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "blc/black_level.h"
#include "capture_files.h"

namespace bench {

// 12-bit dark captures of the set's size, gains and exposures, results into <dir>/out.
inline tuning::blc::BLCFileParam blc_file_param(const std::string& dir, const CaptureSetShape& shape) {
  tuning::blc::BLCFileParam p;
  p.inp_file_dir = dir;
  p.out_file_dir = dir + "/out";
  p.width = shape.width;
  p.height = shape.height;
  p.bits = 12;
  for (int g : shape.gains) p.again_list.push_back(tuning::Number::of_integer(g));
  for (int e : shape.exposures) p.exp_time_list.push_back(tuning::Number::of_integer(e));
  return p;
}

// Prints the one-line description of the set every benchmark starts with.
inline void describe(const std::string& dir, const CaptureSetShape& shape) {
  std::printf("capture set: %zu gains x %zu exposures x %d captures of %d x %d in %s\n", shape.gains.size(),
              shape.exposures.size(), shape.captures_per_condition, shape.width, shape.height, dir.c_str());
}

// The dark capture set of a black level benchmark, from its command line
// (DIR [CAPTURES_PER_CONDITION]): described, written when missing.
struct BlcBenchSet {
  std::string dir;
  CaptureSetShape shape;
  std::vector<std::string> files;
  tuning::blc::BLCFileParam file_param;
};

inline BlcBenchSet blc_bench_set(int argc, char** argv, const std::string& default_dir) {
  BlcBenchSet set;
  set.dir = argc > 1 ? argv[1] : default_dir;
  if (argc > 2) set.shape.captures_per_condition = std::atoi(argv[2]);
  describe(set.dir, set.shape);
  set.files = ensure_capture_set(set.dir, set.shape);
  set.file_param = blc_file_param(set.dir, set.shape);
  return set;
}

}  // namespace bench
