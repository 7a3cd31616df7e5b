// A small simulated sensor with known truth for the characterisation tests:
// photons arrive as Poisson electrons, a pixel holds at most its full well,
// the electrons of the dark pattern (DSNU) and the read noise (Gaussian) add
// before the conversion gain, the response of each pixel carries its own
// factor (PRNU), and the result is rounded to DN and clipped at the white level.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "characterize/capture_source.h"

namespace tunekit_test {

struct SensorTruth {
  double dsnu_e = 0.0;  // spread of the dark pattern (e-)
  double prnu = 0.0;    // relative spread of the pixels' response (ratio)
  double full_well_e = 1500.0;
  double offset_dn = 64.0;    // dark level (DN)
  double white_dn = 4095.0;   // clipping level of the converter (DN)
  double flicker = 0.0;       // relative spread of the light from capture to capture (ratio)
  double dark_slope_e = 0.0;  // a dark pattern rising along each row: e- per column, added to the DSNU
};

struct GainTruth {
  double k = 1.0;             // conversion gain (DN/e-)
  double read_noise_e = 3.0;  // temporal dark noise before rounding (e-)
};

// The frames of one condition, all held: test frames are small.
struct Frames {
  std::int64_t width = 0;
  std::vector<std::vector<std::uint16_t>> captures;

  tuning::characterize::CaptureSet set() const {
    auto self = std::make_shared<Frames>(*this);
    tuning::characterize::CaptureSet s;
    s.count = static_cast<std::int64_t>(captures.size());
    s.read = [self](std::int64_t index, std::int64_t first_row, std::int64_t rows, std::uint16_t* out) {
      const auto& frame = self->captures[static_cast<std::size_t>(index)];
      std::memcpy(out, frame.data() + first_row * self->width, static_cast<std::size_t>(rows * self->width) * 2);
    };
    return s;
  }
};

class SyntheticSensor {
 public:
  // The DSNU and PRNU maps are drawn once per sensor: every gain and
  // condition sees the same pattern, as on a real chip.
  SyntheticSensor(std::int64_t height, std::int64_t width, SensorTruth truth, std::uint32_t seed)
      : height_(height), width_(width), truth_(truth), rng_(seed) {
    std::normal_distribution<double> normal;
    const auto size = static_cast<std::size_t>(height * width);
    for (std::size_t i = 0; i < size; ++i) {
      const auto column = static_cast<double>(static_cast<std::int64_t>(i) % width);
      dark_pattern_.push_back(truth.dsnu_e * normal(rng_) + truth.dark_slope_e * column);
      response_.push_back(std::max(0.0, 1.0 + truth.prnu * normal(rng_)));
    }
  }

  const SensorTruth& truth() const { return truth_; }
  std::int64_t pixels_per_cell() const { return height_ * width_ / 4; }

  // count captures of a field whose mean electrons at (row, column) are
  // light(row, column); 0 everywhere gives dark captures.
  Frames capture(const GainTruth& gain, int count, const std::function<double(std::int64_t, std::int64_t)>& light) {
    Frames frames;
    frames.width = width_;
    std::normal_distribution<double> normal;
    for (int c = 0; c < count; ++c) {
      const double scale = truth_.flicker > 0.0 ? std::max(0.0, 1.0 + truth_.flicker * normal(rng_)) : 1.0;
      std::vector<std::uint16_t> frame(static_cast<std::size_t>(height_ * width_));
      for (std::int64_t y = 0; y < height_; ++y)
        for (std::int64_t x = 0; x < width_; ++x) {
          const auto i = static_cast<std::size_t>(y * width_ + x);
          const double mean = light(y, x) * response_[i] * scale;
          double electrons = mean > 0.0 ? static_cast<double>(std::poisson_distribution<long>(mean)(rng_)) : 0.0;
          electrons = std::min(electrons, truth_.full_well_e);
          const double dn =
              truth_.offset_dn + gain.k * (electrons + dark_pattern_[i] + gain.read_noise_e * normal(rng_));
          frame[i] = static_cast<std::uint16_t>(std::clamp(std::round(dn), 0.0, truth_.white_dn));
        }
      frames.captures.push_back(std::move(frame));
    }
    return frames;
  }

  Frames flat(const GainTruth& gain, int count, double electrons) {
    return capture(gain, count, [electrons](std::int64_t, std::int64_t) { return electrons; });
  }
  Frames dark(const GainTruth& gain, int count) { return flat(gain, count, 0.0); }

 private:
  std::int64_t height_, width_;
  SensorTruth truth_;
  std::mt19937 rng_;
  std::vector<double> dark_pattern_;
  std::vector<double> response_;
};

}  // namespace tunekit_test
