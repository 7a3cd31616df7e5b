#include "capture_bands.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "interrupt.h"

namespace tuning {

namespace {

// About 1 MiB of rows per band: small enough to stay in cache from read to
// sum, large enough that handing bands between the threads costs little.
constexpr std::size_t kBandBytes = std::size_t{1024} << 10;
// Bands in flight: one being summed, one being read, one spare.
constexpr std::size_t kBandsInFlight = 3;

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
  void publish() {
    update([&] { ++filled_; });
  }
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
  void release() {
    update([&] { ++emptied_; });
  }
  void stop() {
    update([&] { stopped_ = true; });
  }

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

void read_bands(const std::vector<std::string>& files, const CaptureFormat& format, std::int64_t height,
                std::int64_t width, ShapeRule rule, std::int64_t band_rows, BandRing& ring) {
  for (const auto& path : files) {
    const CaptureFile capture = open_capture(path, format, width, height, rule);
    for (std::int64_t y = 0; y < height; y += band_rows) {
      Band* band = ring.wait_free();
      if (band == nullptr) return;
      band->first_row = y;
      band->row_count = std::min(band_rows, height - y);
      capture.read_rows(y, band->row_count, band->samples.data());
      ring.publish();
    }
  }
}

}  // namespace

void for_each_capture_band(const std::vector<std::string>& files, const CaptureFormat& format, std::int64_t height,
                           std::int64_t width, ShapeRule rule, const BandVisitor& visit) {
  if (height <= 0 || width <= 0)
    throw FormatError("capture bands need a positive frame size, got " + std::to_string(width) + " x " +
                      std::to_string(height));
  const std::int64_t band_rows =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(kBandBytes / sizeof(std::uint16_t)) / width);
  BandRing ring(static_cast<std::size_t>(std::min(band_rows, height) * width));
  std::thread reader([&] {
    try {
      read_bands(files, format, height, width, rule, band_rows, ring);
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
    check_interrupt();
    visit(band->samples.data(), band->first_row, band->row_count);
    ring.release();
  }
}

}  // namespace tuning
