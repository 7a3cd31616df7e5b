#include "averaged_frame.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

#include "../shared/capture_reader.h"
#include "../shared/errors.h"
#include "../shared/interrupt.h"
#include "../shared/parallel_fold.h"

namespace tuning::bpc {

namespace {

// Captures held open at once; larger sets are opened for every read.
constexpr std::size_t kOpenCaptures = 64;
constexpr std::size_t kSampleValues = 1u << 16;
constexpr std::int64_t kMinChunksPerBand = 4;

// Runs fn, reporting any failure as the routine's shape error: today's raw16
// captures of the wrong size as the bare error, as always; other failures
// with the cause nested.
template <typename Fn>
auto as_shape_error(Fn&& fn, const CaptureFormat& format) {
  try {
    return fn();
  } catch (const CalibrationError&) {
    throw;
  } catch (const CaptureSizeError&) {
    if (is_plain_raw16(format)) throw CalibrationError(kInvalidImageShape);
    std::throw_with_nested(CalibrationError(kInvalidImageShape));
  } catch (const std::exception&) {
    std::throw_with_nested(CalibrationError(kInvalidImageShape));
  }
}

// sample / N, bit for bit as the division gives it. Dividing by a power of two
// only shifts the exponent, so the exact reciprocal gives the same product;
// otherwise each of the 65536 possible quotients is divided out once.
class Quotients {
 public:
  explicit Quotients(std::size_t count) : count_(static_cast<double>(count)) {
    if ((count & (count - 1)) == 0) {
      reciprocal_ = 1.0 / count_;
      exact_sums_ = count <= kMaxExactCount;
      return;
    }
    table_.resize(kSampleValues);
    for (std::size_t v = 0; v < kSampleValues; ++v) table_[v] = static_cast<double>(v) / count_;
  }

  // With a power-of-two N every quotient and every running sum of them is a
  // multiple of 1 / N below 2^16: exact in double precision, so the running
  // sum equals the integer sum times 1 / N, which adds in 32-bit integers.
  bool exact_sums() const { return exact_sums_; }
  double reciprocal() const { return reciprocal_; }

  // out = in / N (first capture: adding to the zero start changes nothing,
  // quotients are never -0) or out += in / N.
  void add(const std::uint16_t* in, std::size_t n, double* out, bool first) const {
    if (table_.empty()) {
      const double r = reciprocal_;
      if (first)
        for (std::size_t i = 0; i < n; ++i) out[i] = in[i] * r;
      else
        for (std::size_t i = 0; i < n; ++i) out[i] += in[i] * r;
      return;
    }
    const double* q = table_.data();
    if (first)
      for (std::size_t i = 0; i < n; ++i) out[i] = q[in[i]];
    else
      for (std::size_t i = 0; i < n; ++i) out[i] += q[in[i]];
  }

 private:
  // 65535 x N stays below 2^32.
  static constexpr std::size_t kMaxExactCount = 1u << 16;
  double count_;
  double reciprocal_ = 0.0;
  bool exact_sums_ = false;
  std::vector<double> table_;
};

// The captures of one condition, checked in file order and held open while
// they are averaged (very large sets are reopened per read instead, to stay
// clear of the open-file limit).
class CaptureSet {
 public:
  CaptureSet(const std::vector<std::string>& files, const CaptureFormat& format, std::int64_t height,
             std::int64_t width)
      : files_(files), format_(format), height_(height), width_(width), keep_open_(files.size() <= kOpenCaptures) {
    for (const auto& path : files) {
      auto capture = std::make_unique<CaptureFile>(open(path));
      if (keep_open_) open_.push_back(std::move(capture));
    }
  }

  std::size_t size() const { return files_.size(); }

  void read(std::size_t index, std::uint64_t first, std::size_t count, std::uint16_t* out) const {
    as_shape_error(
        [&] {
          if (keep_open_)
            open_[index]->read_samples(first, count, out);
          else
            open(files_[index]).read_samples(first, count, out);
        },
        format_);
  }

 private:
  CaptureFile open(const std::string& path) const {
    return as_shape_error([&] { return open_capture(path, format_, width_, height_, ShapeRule::truncating); }, format_);
  }

  std::vector<std::string> files_;
  CaptureFormat format_;
  std::int64_t height_, width_;
  bool keep_open_;
  std::vector<std::unique_ptr<CaptureFile>> open_;
};

}  // namespace

struct AveragedCaptures::State {
  State(const std::vector<std::string>& files, const CaptureFormat& format, std::int64_t height, std::int64_t width)
      : captures(files, format, height, width), quotients(files.size()) {}
  CaptureSet captures;
  Quotients quotients;

  // Working memory of one thread, one chunk long.
  struct Scratch {
    explicit Scratch(std::size_t count) : samples(count), sums(count) {}
    std::vector<std::uint16_t> samples;
    std::vector<std::uint32_t> sums;
  };

  // Every capture's samples [first, first + count) over N added into out, in file order.
  void average(std::uint64_t first, std::size_t count, Scratch& scratch, double* out) const {
    std::uint16_t* samples = scratch.samples.data();
    if (quotients.exact_sums()) {
      std::uint32_t* sums = scratch.sums.data();
      for (std::size_t c = 0; c < captures.size(); ++c) {
        captures.read(c, first, count, samples);
        if (c == 0)
          for (std::size_t i = 0; i < count; ++i) sums[i] = samples[i];
        else
          for (std::size_t i = 0; i < count; ++i) sums[i] += samples[i];
      }
      const double r = quotients.reciprocal();
      for (std::size_t i = 0; i < count; ++i) out[i] = sums[i] * r;
      return;
    }
    for (std::size_t c = 0; c < captures.size(); ++c) {
      captures.read(c, first, count, samples);
      quotients.add(samples, count, out, c == 0);
    }
  }
};

AveragedCaptures::AveragedCaptures(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                                   const CaptureFormat& format) {
  if (height < 0 || width < 0) throw CalibrationError(kInvalidImageShape);
  values_ = static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(width);
  state_ = std::make_unique<State>(files, format, height, width);
}

AveragedCaptures::~AveragedCaptures() = default;

void AveragedCaptures::for_each_chunk(const FinishedChunk& finished) const {
  const std::size_t chunks = (static_cast<std::size_t>(values_) + kChunkValues - 1) / kChunkValues;
  for_each_band(
      static_cast<std::int64_t>(chunks),
      [&](int, std::int64_t begin, std::int64_t end) {
        State::Scratch scratch(kChunkValues);
        std::vector<double> averaged(kChunkValues);
        for (auto chunk = static_cast<std::size_t>(begin); chunk < static_cast<std::size_t>(end); ++chunk) {
          check_interrupt();
          const std::size_t first = chunk * kChunkValues;
          const std::size_t n = std::min<std::size_t>(kChunkValues, values_ - first);
          state_->average(first, n, scratch, averaged.data());
          finished(first, first + n, averaged.data());
        }
      },
      kMinChunksPerBand);
}

void AveragedCaptures::values(std::uint64_t first, std::size_t count, double* out) const {
  State::Scratch scratch(count);
  state_->average(first, count, scratch, out);
}

std::vector<double> AveragedCaptures::frame() const {
  std::vector<double> out(static_cast<std::size_t>(values_));
  for_each_chunk([&](std::size_t first, std::size_t end, const double* values) {
    std::copy(values, values + (end - first), out.begin() + static_cast<std::ptrdiff_t>(first));
  });
  return out;
}

}  // namespace tuning::bpc
