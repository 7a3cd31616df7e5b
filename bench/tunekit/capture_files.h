// Synthetic capture sets for the benchmarks, and the plain read time they are
// compared against.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct CaptureSetShape {
  std::string kind = "dark";  // file kind word
  std::string mode = "LCG";
  std::vector<int> gains = {1, 2, 4, 8};
  std::vector<int> exposures = {10, 20, 30, 40};
  int captures_per_condition = 4;
  int height = 1440;
  int width = 2560;
};

// Writes the set into dir (created) unless it is already there with the same
// shape; returns every file written, in condition order. Sample values come
// from value(gain, exposure, capture, index) and are cheap pseudo-random by default.
std::vector<std::string> ensure_capture_set(
    const std::string& dir, const CaptureSetShape& shape,
    const std::function<std::uint16_t(int gain, int exposure, int capture, std::size_t index)>& value = {});

// Seconds to read every file completely (page cache warm: call once before timing).
double plain_read_seconds(const std::vector<std::string>& files);

// Best of `repeats` timings of fn, in seconds.
double best_seconds(int repeats, const std::function<void()>& fn);

// Peak resident set size of this process so far, in MiB.
double peak_rss_mib();

// Prints "<label>: <seconds> s, <ratio>x the plain read" on one line.
void report(const std::string& label, double seconds, double read_seconds);

}  // namespace bench
