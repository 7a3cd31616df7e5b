#include "capture_bands.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "../shared/capture_reader.h"
#include "../shared/errors.h"
#include "../shared/interrupt.h"
#include "../shared/parallel_fold.h"
#include "hot_loops.h"

namespace tuning::noise {

namespace {

// Sums per band are 16 bytes a pixel and four captures' samples 8 more:
// 768 KiB, which stays in a core's share of cache while all captures are
// folded into it (the fastest of 8 to 64 Ki pixels on the benchmark).
constexpr std::int64_t kBandPixels = 32768;
// Captures folded into the sums in one pass (fold_four_samples).
constexpr std::size_t kFoldGroup = 4;
// Blocks of plain rows only pass through once: large reads, few system calls.
constexpr std::int64_t kRowBlockPixels = 131072;
// Up to this many captures stay open for the whole fold; longer lists are
// reopened block by block so that descriptors do not run out.
constexpr std::size_t kMaxHeldOpen = 256;

std::int64_t even_rows_for(std::int64_t pixels, std::int64_t width) {
  const std::int64_t rows = width > 0 ? pixels / width : 2;
  return std::max<std::int64_t>(2, rows & ~std::int64_t{1});
}

// Runs fn, reporting any failure as the routine's shape error with the cause
// nested; today's raw16 captures name their sizes in samples, as always.
template <typename Fn>
auto as_shape_error(Fn&& fn, const CaptureFormat& format) {
  try {
    try {
      return fn();
    } catch (const CaptureSizeError& e) {
      if (!is_plain_raw16(format)) throw;
      throw ShapeError("capture " + e.path() + " holds " + std::to_string(e.found() / 2) + " samples, expected " +
                       std::to_string(e.expected() / 2));
    }
  } catch (const CalibrationError&) {
    throw;
  } catch (...) {
    std::throw_with_nested(CalibrationError(kInvalidImageShape));
  }
}

// The captures of one fold, checked once; read from any thread.
class CaptureSet {
 public:
  CaptureSet(const std::vector<std::string>& files, const CaptureFormat& format, std::int64_t height,
             std::int64_t width)
      : files_(files), format_(format), height_(height), width_(width) {
    const bool hold = files.size() <= kMaxHeldOpen;
    for (const auto& path : files) {
      auto file = std::make_unique<CaptureFile>(open(path));
      if (hold) held_.push_back(std::move(file));
    }
  }
  void read_rows(std::size_t capture, std::int64_t first_row, std::int64_t rows, std::uint16_t* dest) const {
    as_shape_error(
        [&] {
          if (!held_.empty()) return held_[capture]->read_rows(first_row, rows, dest);
          open(files_[capture]).read_rows(first_row, rows, dest);
        },
        format_);
  }

 private:
  CaptureFile open(const std::string& path) const {
    return as_shape_error(
        [&] {
          if (height_ < 0 || width_ < 0) throw ShapeError("capture " + path + " holds 0 samples, expected 0");
          return open_capture(path, format_, width_, height_, ShapeRule::exact);
        },
        format_);
  }

  const std::vector<std::string>& files_;
  CaptureFormat format_;
  std::int64_t height_, width_;
  std::vector<std::unique_ptr<CaptureFile>> held_;
};

}  // namespace

std::int64_t band_rows_for(std::int64_t width) { return even_rows_for(kBandPixels, width); }

void fold_capture_bands(const std::vector<std::string>& files, std::int64_t height, std::int64_t width, int workers,
                        const BandVisitor& visit, const CaptureFormat& format) {
  if (files.empty()) return;
  const CaptureSet captures(files, format, height, width);
  if (height == 0 || width == 0) return;

  const std::int64_t band_rows = std::min(band_rows_for(width), height);
  const std::int64_t bands = (height + band_rows - 1) / band_rows;
  std::atomic<std::int64_t> next{0};
  run_workers(static_cast<int>(std::min<std::int64_t>(workers, bands)), [&](int worker) {
    const std::size_t capacity = static_cast<std::size_t>(band_rows * width);
    std::vector<std::uint16_t> samples(kFoldGroup * capacity);
    std::vector<std::uint64_t> sum(capacity), square_sum(capacity);
    for (std::int64_t b = next++; b < bands; b = next++) {
      check_interrupt();
      CaptureBand band;
      band.first_row = b * band_rows;
      band.rows = std::min(band_rows, height - band.first_row);
      band.width = width;
      band.num = static_cast<std::int64_t>(files.size());
      const std::size_t count = static_cast<std::size_t>(band.rows * width);
      std::size_t i = 0;
      for (; i + kFoldGroup <= files.size(); i += kFoldGroup) {
        const std::uint16_t* group[kFoldGroup];
        for (std::size_t k = 0; k < kFoldGroup; ++k) {
          std::uint16_t* dest = samples.data() + k * capacity;
          captures.read_rows(i + k, band.first_row, band.rows, dest);
          group[k] = dest;
        }
        fold_four_samples(group, count, i == 0, sum.data(), square_sum.data());
      }
      for (; i < files.size(); ++i) {
        captures.read_rows(i, band.first_row, band.rows, samples.data());
        fold_samples(samples.data(), count, i == 0, sum.data(), square_sum.data());
      }
      band.sum = sum.data();
      band.square_sum = square_sum.data();
      visit(band, worker);
    }
  });
}

void fold_capture_rows(const std::vector<std::string>& files, std::int64_t height, std::int64_t width, int workers,
                       const RowsVisitor& visit, const CaptureFormat& format) {
  if (files.empty()) return;
  const CaptureSet captures(files, format, height, width);
  if (height == 0 || width == 0) return;

  const std::int64_t block_rows = std::min(even_rows_for(kRowBlockPixels, width), height);
  const std::int64_t blocks = (height + block_rows - 1) / block_rows;
  const std::int64_t items = blocks * static_cast<std::int64_t>(files.size());
  std::atomic<std::int64_t> next{0};
  run_workers(static_cast<int>(std::min<std::int64_t>(workers, items)), [&](int worker) {
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(block_rows * width));
    for (std::int64_t item = next++; item < items; item = next++) {
      check_interrupt();
      CaptureRows rows;
      rows.first_row = (item % blocks) * block_rows;
      rows.rows = std::min(block_rows, height - rows.first_row);
      rows.width = width;
      captures.read_rows(static_cast<std::size_t>(item / blocks), rows.first_row, rows.rows, samples.data());
      rows.samples = samples.data();
      visit(rows, worker);
    }
  });
}

}  // namespace tuning::noise
