#include "capture_bands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "../shared/errors.h"

namespace tuning::blc {

void require_frame_samples(const std::string& path, std::uint64_t found, std::int64_t height, std::int64_t width) {
  const std::uint64_t expected = static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(width);
  if (found != expected)
    throw ShapeError("capture '" + path + "' holds " + std::to_string(found) + " samples; a " +
                     std::to_string(height) + " x " + std::to_string(width) + " frame needs exactly " +
                     std::to_string(expected));
}

namespace {

// About 1 MiB of rows per band: small enough to stay in cache from read to
// sum, large enough that handing bands between the threads costs little.
constexpr std::size_t kBandBytes = std::size_t{1024} << 10;
// Bands in flight: one being summed, one being read, one spare.
constexpr std::size_t kBandsInFlight = 3;

[[noreturn]] void throw_io_error(const std::string& what, const std::string& path, int err) {
  throw std::filesystem::filesystem_error(what, std::filesystem::path(path),
                                          std::error_code(err, std::generic_category()));
}

class CaptureFile {
 public:
  explicit CaptureFile(const std::string& path) : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw_io_error("cannot open raw capture", path, errno);
    struct stat info {};
    if (::fstat(fd_, &info) != 0) throw_io_error("cannot stat raw capture", path, errno);
    if (S_ISDIR(info.st_mode)) throw_io_error("raw capture is a directory", path, EISDIR);
    samples_ = static_cast<std::uint64_t>(info.st_size) / sizeof(std::uint16_t);
  }
  ~CaptureFile() { ::close(fd_); }
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  std::uint64_t samples() const { return samples_; }

  // Reads up to count samples; fewer only at the end of the file.
  std::size_t read(std::uint16_t* out, std::size_t count) {
    auto* dest = reinterpret_cast<char*>(out);
    const std::size_t wanted = count * sizeof(std::uint16_t);
    std::size_t got = 0;
    while (got < wanted) {
      const ssize_t n = ::read(fd_, dest + got, wanted - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_io_error("cannot read raw capture", path_, errno);
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got / sizeof(std::uint16_t);
  }

 private:
  std::string path_;
  int fd_;
  std::uint64_t samples_ = 0;
};

struct Band {
  std::vector<std::uint16_t> samples;
  std::int64_t first_row = 0;
  std::int64_t row_count = 0;
};

// A ring of bands filled by the reader thread and emptied by the caller.
// Slots below `filled` belong to the caller, the others to the reader.
class BandRing {
 public:
  BandRing(std::size_t band_samples) {
    for (auto& band : bands_) band.samples.resize(band_samples);
  }

  // Reader side: the next free slot, or nullptr once the caller has stopped.
  Band* wait_free() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stopped_ || filled_ - emptied_ < bands_.size(); });
    return stopped_ ? nullptr : &bands_[filled_ % bands_.size()];
  }
  void publish() { update([&] { ++filled_; }); }
  void finish(std::exception_ptr error) {
    update([&] {
      error_ = error;
      finished_ = true;
    });
  }

  // Caller side: the next filled band, or nullptr when the reader is done
  // (its failure, if any, is rethrown).
  const Band* wait_filled() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_ || emptied_ < filled_; });
    if (emptied_ < filled_) return &bands_[emptied_ % bands_.size()];
    if (error_) std::rethrow_exception(error_);
    return nullptr;
  }
  void release() { update([&] { ++emptied_; }); }
  void stop() { update([&] { stopped_ = true; }); }

 private:
  template <typename F>
  void update(F change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  std::array<Band, kBandsInFlight> bands_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t filled_ = 0;
  std::size_t emptied_ = 0;
  bool stopped_ = false;
  bool finished_ = false;
  std::exception_ptr error_;
};

void read_bands(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                std::int64_t band_rows, BandRing& ring) {
  for (const auto& path : files) {
    CaptureFile capture(path);
    require_frame_samples(path, capture.samples(), height, width);
    for (std::int64_t y = 0; y < height; y += band_rows) {
      Band* band = ring.wait_free();
      if (band == nullptr) return;
      band->first_row = y;
      band->row_count = std::min(band_rows, height - y);
      const std::size_t wanted = static_cast<std::size_t>(band->row_count * width);
      const std::size_t got = capture.read(band->samples.data(), wanted);
      // The capture shrank while it was read.
      if (got != wanted) require_frame_samples(path, static_cast<std::uint64_t>(y * width) + got, height, width);
      ring.publish();
    }
  }
}

}  // namespace

void for_each_capture_band(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                           const BandVisitor& visit) {
  if (height <= 0 || width <= 0) {
    for (const auto& path : files) require_frame_samples(path, CaptureFile(path).samples(), height, width);
    return;
  }
  const std::int64_t band_rows =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(kBandBytes / sizeof(std::uint16_t)) / width);
  BandRing ring(static_cast<std::size_t>(std::min(band_rows, height) * width));
  std::thread reader([&] {
    try {
      read_bands(files, height, width, band_rows, ring);
      ring.finish(nullptr);
    } catch (...) {
      ring.finish(std::current_exception());
    }
  });
  // However the loop below ends, the reader is told to stop and joined.
  struct JoinReader {
    BandRing& ring;
    std::thread& reader;
    ~JoinReader() {
      ring.stop();
      reader.join();
    }
  } join{ring, reader};
  while (const Band* band = ring.wait_filled()) {
    visit(band->samples.data(), band->first_row, band->row_count);
    ring.release();
  }
}

}  // namespace tuning::blc
