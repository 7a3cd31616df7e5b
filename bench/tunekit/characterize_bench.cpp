// The characterisation of 4 gains x 8 dark and 8 scene captures of
// 2560 x 1440 each, read from raw files, against the time to just read the
// same files.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture_files.h"
#include "characterize/characterization.h"
#include "characterize/file_captures.h"
#include "shared/raw_capture.h"

namespace {

// The dark captures are the helper's default pseudo-random frames around 64 DN.
constexpr int kDark = 64;

// A horizontal ramp with uniform noise whose variance grows linearly with the
// signal, as shot noise does, by gain / 8 DN per DN: the characterisation
// should find K near gain / 8 DN/e-. The generator restarts at the first
// sample of each file (files are written sample by sample, in order).
std::function<std::uint16_t(int, int, int, std::size_t)> scene_values(int width) {
  auto rng = std::make_shared<std::minstd_rand>();
  return [rng, width](int gain, int, int capture, std::size_t index) {
    if (index == 0) rng->seed(static_cast<std::uint32_t>(1 + gain * 1000 + capture));
    const int signal = static_cast<int>(index % static_cast<std::size_t>(width)) * 3000 / width;
    // Integers uniform in [-w, w] have a variance of w (w + 1) / 3.
    const int spread = static_cast<int>(std::lround(std::sqrt(3.0 * (4.0 + gain * signal / 8.0))));
    return static_cast<std::uint16_t>(kDark + signal + static_cast<int>((*rng)() % (2 * spread + 1)) - spread);
  };
}

// The adapter a capture reader provides: rows of capture i with pread.
class FileRows {
 public:
  FileRows(const std::vector<std::string>& files, std::int64_t height, std::int64_t width) : width_(width) {
    for (const std::string& f : files) {
      const int fd = ::open(f.c_str(), O_RDONLY);
      if (fd < 0) throw std::runtime_error("cannot open " + f);
      fds_.push_back(fd);
      if (tuning::raw_sample_count(f) != static_cast<std::uint64_t>(height * width))
        throw std::runtime_error(f + ": not " + std::to_string(height) + " x " + std::to_string(width) + " samples");
    }
  }
  ~FileRows() {
    for (int fd : fds_) ::close(fd);
  }
  void read(std::int64_t index, std::int64_t first_row, std::int64_t rows, std::uint16_t* out) const {
    const auto bytes = static_cast<std::size_t>(rows * width_) * 2;
    const auto offset = static_cast<off_t>(first_row * width_ * 2);
    if (::pread(fds_[static_cast<std::size_t>(index)], out, bytes, offset) != static_cast<ssize_t>(bytes))
      throw std::runtime_error("short read");
  }
  std::int64_t count() const { return static_cast<std::int64_t>(fds_.size()); }

 private:
  std::int64_t width_;
  std::vector<int> fds_;
};

tuning::characterize::CaptureSet file_set(const std::vector<std::string>& files, std::int64_t height,
                                          std::int64_t width) {
  auto rows = std::make_shared<FileRows>(files, height, width);
  return {rows->count(), [rows](std::int64_t i, std::int64_t first, std::int64_t n, std::uint16_t* out) {
            rows->read(i, first, n, out);
          }};
}

// Processor seconds of the whole process (every thread), best of `repeats`:
// on a shared machine it shows the work done apart from waiting for a core.
double best_processor_seconds(int repeats, const std::function<void()>& fn) {
  double best = std::numeric_limits<double>::infinity();
  for (int i = 0; i < repeats; ++i) {
    const std::clock_t start = std::clock();
    fn();
    best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
  }
  return best;
}

// Writes back and drops the page cache; false when the system does not let this process.
bool drop_page_cache() {
  ::sync();
  std::FILE* f = std::fopen("/proc/sys/vm/drop_caches", "w");
  if (!f) return false;
  const bool ok = std::fputs("1\n", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

std::vector<std::string> slice(const std::vector<std::string>& files, std::size_t first, std::size_t count) {
  return {files.begin() + static_cast<std::ptrdiff_t>(first),
          files.begin() + static_cast<std::ptrdiff_t>(first + count)};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root = argc > 1 ? argv[1] : "/tmp/tunekit-bench/characterize";
  bench::CaptureSetShape shape;
  shape.exposures = {20};
  shape.captures_per_condition = 8;
  std::printf("capture sets: %zu gains x %d captures of %d x %d in %s/{dark,noise}\n", shape.gains.size(),
              shape.captures_per_condition, shape.width, shape.height, root.c_str());
  const auto dark_files = bench::ensure_capture_set(root + "/dark", shape);
  bench::CaptureSetShape scene_shape = shape;
  scene_shape.kind = "noise";
  const auto scene_files = bench::ensure_capture_set(root + "/noise", scene_shape, scene_values(shape.width));
  std::vector<std::string> all = dark_files;
  all.insert(all.end(), scene_files.begin(), scene_files.end());

  const auto characterize = [&] {
    tuning::characterize::ModeCaptures mode;
    mode.height = shape.height;
    mode.width = shape.width;
    const auto n = static_cast<std::size_t>(shape.captures_per_condition);
    for (std::size_t g = 0; g < shape.gains.size(); ++g) {
      tuning::characterize::GainCaptures gain;
      gain.analog_gain = tuning::Number::of_integer(shape.gains[g]);
      gain.dark = file_set(slice(dark_files, g * n, n), shape.height, shape.width);
      gain.scene = file_set(slice(scene_files, g * n, n), shape.height, shape.width);
      mode.gains.push_back(std::move(gain));
    }
    return tuning::characterize::characterize_mode(mode);
  };
  const double read = bench::plain_read_seconds(all);
  bench::report("plain read", read, read);
  tuning::characterize::ModeCharacterization result;
  bench::report("characterize_mode", bench::best_seconds(5, [&] { result = characterize(); }), read);
  tuning::RawBuffer buffer;
  const double read_cpu = best_processor_seconds(5, [&] {
    for (const auto& f : all) tuning::read_raw_u16_into(f, buffer);
  });
  // The same captures found by name and read by the capture layer, as the tool runs it: one folder
  // linking both sets.
  const std::string both = root + "/both";
  std::filesystem::create_directories(both);
  for (const auto& f : all) {
    const auto link = std::filesystem::path(both) / std::filesystem::path(f).filename();
    if (!std::filesystem::exists(link)) std::filesystem::create_symlink(std::filesystem::absolute(f), link);
  }
  tuning::characterize::CharacterizationFileParam files;
  files.inp_file_dir = both;
  files.width = shape.width;
  files.height = shape.height;
  for (int g : shape.gains) files.again_list.push_back(tuning::Number::of_integer(g));
  bench::report(
      "characterize from named files",
      bench::best_seconds(
          5, [&] { result = tuning::characterize::characterize_mode(tuning::characterize::file_captures(files)); }),
      read);
  // From the disk: the page cache emptied before each timing, where this process may do so (root).
  if (drop_page_cache()) {
    tuning::RawBuffer cold_buffer;
    const auto read_start = std::chrono::steady_clock::now();
    for (const auto& f : all) tuning::read_raw_u16_into(f, cold_buffer);
    const double cold_read = std::chrono::duration<double>(std::chrono::steady_clock::now() - read_start).count();
    bench::report("plain read, cold cache", cold_read, cold_read);
    drop_page_cache();
    const auto start = std::chrono::steady_clock::now();
    result = tuning::characterize::characterize_mode(tuning::characterize::file_captures(files));
    bench::report("characterize from named files, cold cache",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), cold_read);
  } else {
    std::printf("(the page cache cannot be emptied here: no cold-cache figures)\n");
  }
  const double routine_cpu = best_processor_seconds(5, [&] { result = characterize(); });
  std::printf("%-34s %8.3f s cpu vs %.3f s cpu of the read: %5.2fx (all threads)\n", "characterize_mode", routine_cpu,
              read_cpu, routine_cpu / read_cpu);
  for (const auto& g : result.gains) {
    std::printf("gain %s, cell 0: K %.4g DN/e-, read noise %.3g e-, %d levels, %zu warnings\n",
                g.analog_gain.text().c_str(), g.cells[0].conversion_gain, g.cells[0].read_noise_e, g.cells[0].levels,
                g.warnings.size());
    if (!g.warnings.empty()) std::printf("  first: %s\n", g.warnings.front().c_str());
  }
  std::printf("goal: within 2x of the plain read\n");
  return EXIT_SUCCESS;
}
