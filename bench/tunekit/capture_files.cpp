#include "capture_files.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include "shared/raw_capture.h"

namespace bench {

namespace fs = std::filesystem;

namespace {

std::uint16_t default_value(int gain, int exposure, int capture, std::size_t index) {
  // xorshift-style hash: different per file, cheap, roughly uniform around 64.
  std::uint32_t x = static_cast<std::uint32_t>(index * 2654435761u) ^
                    static_cast<std::uint32_t>(gain * 7919 + exposure * 104729 + capture * 1299709);
  x ^= x >> 15;
  x *= 2246822519u;
  x ^= x >> 13;
  return static_cast<std::uint16_t>(60 + (x & 7));
}

std::string file_name(const CaptureSetShape& s, int gain, int exposure, int capture) {
  return "bench_" + s.kind + "_" + s.mode + "_exp_" + std::to_string(exposure) + "_again_" + std::to_string(gain) +
         "_" + std::to_string(capture) + ".raw";
}

}  // namespace

std::vector<std::string> ensure_capture_set(const std::string& dir, const CaptureSetShape& shape,
                                            const std::function<std::uint16_t(int, int, int, std::size_t)>& value) {
  fs::create_directories(dir);
  const std::size_t samples = static_cast<std::size_t>(shape.height) * static_cast<std::size_t>(shape.width);
  const auto& gen = value ? value : default_value;
  std::vector<std::string> files;
  std::vector<std::uint16_t> frame(samples);
  for (int gain : shape.gains)
    for (int exposure : shape.exposures)
      for (int capture = 0; capture < shape.captures_per_condition; ++capture) {
        const std::string path = dir + "/" + file_name(shape, gain, exposure, capture);
        files.push_back(path);
        std::error_code ec;
        if (fs::file_size(path, ec) == samples * sizeof(std::uint16_t)) continue;
        for (std::size_t i = 0; i < samples; ++i) frame[i] = gen(gain, exposure, capture, i);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(samples * 2));
      }
  return files;
}

// The plain read: every file into one reused buffer, nothing else.
double plain_read_seconds(const std::vector<std::string>& files) {
  tuning::RawBuffer buffer;
  return best_seconds(3, [&] {
    for (const auto& f : files) {
      tuning::read_raw_u16_into(f, buffer);
      if (buffer.size() == 0) std::fprintf(stderr, "empty capture %s\n", f.c_str());
    }
  });
}

double best_seconds(int repeats, const std::function<void()>& fn) {
  double best = std::numeric_limits<double>::infinity();
  for (int i = 0; i < repeats; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void report(const std::string& label, double seconds, double read_seconds) {
  std::printf("%-34s %8.3f s   %5.2fx the plain read   peak RSS %7.1f MiB\n", label.c_str(), seconds,
              seconds / read_seconds, peak_rss_mib());
}

}  // namespace bench
