#include "characterization.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>

#include "../shared/errors.h"
#include "../shared/parallel_fold.h"
#include "../shared/progress.h"
#include "condition_moments.h"
#include "figure_text.h"

namespace tuning::characterize {

namespace {

// Scene levels are pooled into groups an eighth of an octave of signal wide:
// fine enough for a log-log curve, coarse enough that a group holds many
// pixels even where a 16-bit level holds few.
constexpr double kGroupsPerOctave = 8.0;
// PRNU is read near half saturation, linearity between 5 and 95 % of it.
constexpr double kPrnuShare = 0.5;
constexpr double kLinearityLow = 0.05;
constexpr double kLinearityHigh = 0.95;
constexpr int kMinLinearityPoints = 3;
// Going up in analog gain, K should grow at least half as much as the gain.
constexpr double kMinGrowthShare = 0.5;

std::string gain_where(SensorMode mode, const Number& gain) {
  return std::string(sensor_mode_name(mode)) + " at analog gain " + gain.text();
}

std::string cell_where(SensorMode mode, const Number& gain, int cell) {
  return gain_where(mode, gain) + ", cell position " + std::to_string(cell);
}

// A variance over captures needs two of them; the message names the condition.
void require_captures(const CaptureSet& set, const std::string& what) {
  if (set.count > kMaxCaptures)
    throw CalibrationError(std::to_string(set.count) + " captures for " + what + ": at most " +
                           std::to_string(kMaxCaptures) + " are summed exactly");
  if (set.count >= 2) return;
  if (set.count <= 0) throw CalibrationError("no " + what + ": at least 2 captures are needed for a variance");
  throw CalibrationError("only 1 capture for " + what + ": at least 2 are needed for a variance over captures");
}

int worker_count(const CharacterizationParam& param) {
  return param.workers > 0 ? param.workers : tuning::default_workers();
}

void report_condition(const std::string& condition, const CaptureSet& set) {
  report_progress({condition, static_cast<std::size_t>(set.count), static_cast<std::size_t>(set.count)});
}

// pixel_sums, when given, receives every pixel's sum over the captures (a
// frame of mode.height x mode.width; the captures are at most kMaxCaptures).
UniformMoments uniform_moments(const CaptureSet& set, const ModeCaptures& mode, const CharacterizationParam& param,
                               const std::string& condition, std::vector<std::uint32_t>* pixel_sums = nullptr) {
  std::vector<UniformMoments> parts(static_cast<std::size_t>(worker_count(param)));
  if (pixel_sums != nullptr) pixel_sums->assign(static_cast<std::size_t>(mode.height * mode.width), 0);
  fold_condition(set, mode.height, mode.width, static_cast<int>(parts.size()), [&](const PixelBand& band, int worker) {
    parts[static_cast<std::size_t>(worker)].add(band);
    // Bands cover rows of their own: no two workers write the same pixel.
    if (pixel_sums != nullptr)
      std::transform(band.sum, band.sum + band.rows * band.width, pixel_sums->data() + band.first_row * band.width,
                     [](std::uint64_t sum) { return static_cast<std::uint32_t>(sum); });
  });
  // Integer totals: the merge order cannot change the result.
  for (std::size_t w = 1; w < parts.size(); ++w) parts[0].merge(parts[w]);
  report_condition(condition, set);
  return parts[0];
}

// Per-worker level bins, made for the first scene and kept for the others.
class SceneBinner {
 public:
  const LevelMoments& bin(const CaptureSet& set, const ModeCaptures& mode, const CharacterizationParam& param,
                          const DarkFrame& dark) {
    const int workers = worker_count(param);
    while (parts_.size() < static_cast<std::size_t>(workers)) parts_.push_back(std::make_unique<LevelMoments>());
    for (auto& part : parts_) part->reset();
    fold_condition(set, mode.height, mode.width, workers, [&](const PixelBand& band, int worker) {
      parts_[static_cast<std::size_t>(worker)]->add(band, dark);
    });
    for (std::size_t w = 1; w < parts_.size(); ++w) parts_[0]->merge(*parts_[w]);
    return *parts_[0];
  }

 private:
  std::vector<std::unique_ptr<LevelMoments>> parts_;
};

std::string condition_name(const char* kind, SensorMode mode, const Number& gain) {
  return std::string(kind) + " " + std::string(sensor_mode_name(mode)) + " again " + gain.text();
}

CurvePoint uniform_point(const UniformMoments& m, int cell, double dark_level, double exposure) {
  CurvePoint p;
  p.exposure = exposure;
  p.signal = m.mean(cell) - dark_level;
  p.temporal_variance = m.temporal_variance(cell);
  p.spatial_variance = m.mean_frame_variance(cell) - p.temporal_variance / static_cast<double>(m.captures());
  p.pixels = static_cast<double>(m.pixels(cell));
  p.samples = p.pixels * static_cast<double>(m.captures());
  return p;
}

// Levels with enough samples, pooled into groups of signal.
// A level's signal is its pixels' mean less their own dark means: a dark
// pattern that follows the scene's brightness would otherwise shift the
// levels against each other and tilt the curve.
std::vector<CurvePoint> scene_points(const LevelMoments& m, int cell, std::int64_t dark_captures,
                                     std::int64_t freq_threshold) {
  struct Group {
    std::uint64_t pixels = 0;
    unsigned __int128 sum = 0;
    unsigned __int128 dark = 0;
    unsigned __int128 spread = 0;
  };
  const auto n = static_cast<std::uint64_t>(m.captures());
  const auto n_dark = static_cast<long double>(dark_captures);
  const auto signal_of = [&](std::uint64_t pixels, unsigned __int128 sum, unsigned __int128 dark) {
    const long double p = pixels;
    return static_cast<double>(static_cast<long double>(sum) / (p * n) - static_cast<long double>(dark) / (p * n_dark));
  };
  std::map<int, Group> groups;
  for (std::size_t v = m.lowest(cell); v <= m.highest(cell); ++v) {
    const LevelMoments::Level level = m.level(cell, v);
    const double samples = static_cast<double>(level.pixels * n);
    if (level.pixels == 0 || samples < static_cast<double>(freq_threshold)) continue;
    const double signal = signal_of(level.pixels, level.sum, level.dark);
    if (signal <= 0.0) continue;
    Group& g = groups[static_cast<int>(std::floor(kGroupsPerOctave * std::log2(std::max(signal, 1.0))))];
    g.pixels += level.pixels;
    g.sum += level.sum;
    g.dark += level.dark;
    g.spread += level.spread;
  }
  std::vector<CurvePoint> points;
  for (const auto& entry : groups) {
    const Group& g = entry.second;
    const long double samples = static_cast<long double>(g.pixels) * n;
    CurvePoint p;
    p.signal = signal_of(g.pixels, g.sum, g.dark);
    p.temporal_variance = static_cast<double>(static_cast<long double>(g.spread) / (samples * (n - 1)));
    p.pixels = static_cast<double>(g.pixels);
    p.samples = static_cast<double>(samples);
    points.push_back(p);
  }
  return points;
}

bool usable_below(const CurvePoint& p, double limit) { return !p.clipped && p.signal > 0.0 && !(p.signal > limit); }

// PRNU from the flat point nearest half saturation (half the brightest
// unclipped flat when saturation is unknown): the spatial spread of the mean
// frame left after its temporal part and the dark frame's own pattern.
void measure_prnu(CellCharacterization& cell, const PhotonTransfer& ptc) {
  const double ceiling = ptc.saturation_found ? ptc.saturation_signal : kUnknown;
  double brightest = 0.0;
  for (const CurvePoint& p : ptc.curve)
    if (!std::isnan(p.spatial_variance) && usable_below(p, ceiling)) brightest = std::max(brightest, p.signal);
  const double target = kPrnuShare * (ptc.saturation_found ? ptc.saturation_signal : brightest);
  const CurvePoint* best = nullptr;
  for (const CurvePoint& p : ptc.curve)
    if (!std::isnan(p.spatial_variance) && usable_below(p, ceiling) &&
        (best == nullptr || std::abs(p.signal - target) < std::abs(best->signal - target)))
      best = &p;
  if (best == nullptr) return;
  cell.prnu_signal = best->signal;
  cell.prnu = 100.0 * std::sqrt(std::max(0.0, best->spatial_variance - cell.dsnu_variance)) / best->signal;
}

// Half the peak-to-peak relative deviation of the flats' signal from a line
// in the exposure.
void measure_linearity(CellCharacterization& cell, const PhotonTransfer& ptc) {
  double top = 0.0;
  for (const CurvePoint& p : ptc.curve)
    if (!p.clipped) top = std::max(top, p.signal);
  const double reference = ptc.saturation_found ? ptc.saturation_signal : top;
  std::vector<double> x, y;
  for (const CurvePoint& p : ptc.curve)
    if (!std::isnan(p.exposure) && !p.clipped && p.signal >= kLinearityLow * reference &&
        p.signal <= kLinearityHigh * reference) {
      x.push_back(p.exposure);
      y.push_back(p.signal);
    }
  if (static_cast<int>(x.size()) < kMinLinearityPoints) return;
  const LineFit line = fit_line(x, y, std::vector<double>(x.size(), 1.0));
  if (std::isnan(line.slope)) return;
  double low = 0.0, high = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double predicted = line.slope * x[i] + line.intercept;
    const double deviation = 100.0 * (y[i] - predicted) / predicted;
    low = i == 0 ? deviation : std::min(low, deviation);
    high = i == 0 ? deviation : std::max(high, deviation);
  }
  cell.linearity_error = (high - low) / 2.0;
}

void fill_from_curve(CellCharacterization& cell, PhotonTransfer ptc) {
  const double k = ptc.fit.slope;
  cell.conversion_gain = k;
  cell.curve_intercept = ptc.fit.intercept;
  cell.read_noise_e = cell.dark_noise / k;
  cell.dsnu_e = cell.dsnu / k;
  cell.levels = ptc.levels;
  cell.span = ptc.span;
  cell.r_squared = ptc.fit.r_squared;
  cell.residual = ptc.fit.relative_residual;
  cell.expected_residual = ptc.expected_residual;
  if (ptc.saturation_found) {
    cell.saturation_signal = ptc.saturation_signal;
    cell.saturation_level = cell.dark_level + ptc.saturation_signal;
    cell.saturation_capacity_e = ptc.saturation_signal / k;
    cell.dynamic_range_db = 20.0 * std::log10(cell.saturation_capacity_e / cell.read_noise_e);
  }
  measure_prnu(cell, ptc);
  measure_linearity(cell, ptc);
  cell.flags = std::move(ptc.flags);
  cell.curve = std::move(ptc.curve);
}

// Every condition of a gain is checked before any capture is read: a set
// that cannot be characterised fails at once, not after minutes of reading.
void check_gain(const ModeCaptures& mode, const GainCaptures& gain) {
  const std::string where = gain_where(mode.mode, gain.analog_gain);
  require_captures(gain.dark, "dark captures for " + where + " (dark level, dark noise and DSNU)");
  for (const FlatCaptures& flat : gain.flats)
    require_captures(flat.captures, "flat captures at exposure " + figure_text(flat.exposure) + " for " + where);
  if (gain.scene.count != 0) require_captures(gain.scene, "scene captures for " + where);
  if (gain.flats.empty() && gain.scene.count == 0)
    throw CalibrationError("no lit captures for " + where +
                           ": the photon transfer curve needs flat captures at several exposures or scene captures");
}

GainCharacterization characterize_gain(const ModeCaptures& mode, const GainCaptures& gain,
                                       const CharacterizationParam& param, SceneBinner& binner) {
  GainCharacterization out;
  out.analog_gain = gain.analog_gain;
  out.dark_captures = gain.dark.count;
  // The scene's levels need each pixel's own dark level; flat captures are read per cell position.
  const bool scene = gain.flats.empty();
  DarkFrame dark_frame;
  const UniformMoments dark = uniform_moments(
      gain.dark, mode, param, condition_name("dark", mode.mode, gain.analog_gain), scene ? &dark_frame.sums : nullptr);
  dark_frame.captures = gain.dark.count;
  const auto n_dark = static_cast<double>(gain.dark.count);
  for (int c = 0; c < kCellPositions; ++c) {
    CellCharacterization& cell = out.cells[c];
    cell.dark_level = dark.mean(c);
    cell.dark_temporal_variance = dark.temporal_variance(c);
    cell.dark_noise = std::sqrt(cell.dark_temporal_variance);
    cell.dsnu_variance = dark.mean_frame_variance(c) - cell.dark_temporal_variance / n_dark;
    cell.dsnu = std::sqrt(std::max(0.0, cell.dsnu_variance));
  }

  std::array<std::vector<CurvePoint>, kCellPositions> points;
  if (!scene) {
    out.curve_source = "flat";
    out.lit_captures = gain.flats.front().captures.count;
    for (const FlatCaptures& flat : gain.flats) {
      const std::string exposure = figure_text(flat.exposure);
      const UniformMoments m = uniform_moments(flat.captures, mode, param,
                                               "flat " + std::string(sensor_mode_name(mode.mode)) + " exp " + exposure +
                                                   " again " + gain.analog_gain.text());
      for (int c = 0; c < kCellPositions; ++c)
        points[c].push_back(uniform_point(m, c, out.cells[c].dark_level, flat.exposure));
    }
  } else {
    out.curve_source = "scene";
    out.lit_captures = gain.scene.count;
    const LevelMoments& levels = binner.bin(gain.scene, mode, param, dark_frame);
    report_condition(condition_name("scene", mode.mode, gain.analog_gain), gain.scene);
    for (int c = 0; c < kCellPositions; ++c)
      points[c] = scene_points(levels, c, dark_frame.captures, param.freq_threshold);
  }

  const std::int64_t relation_captures = gain.scene.count > 0 ? gain.scene.count : out.lit_captures;
  for (int c = 0; c < kCellPositions; ++c) {
    CellCharacterization& cell = out.cells[c];
    CurveContext context;
    context.dark_temporal_variance = cell.dark_temporal_variance;
    context.clip_signal = param.white_level[c] - cell.dark_level;
    context.where = cell_where(mode.mode, gain.analog_gain, c);
    if (points[c].empty())
      throw CalibrationError("no scene level of " + context.where + " has " + std::to_string(param.freq_threshold) +
                             " samples (freq_threshold) above the dark level " + figure_text(cell.dark_level) + " DN");
    fill_from_curve(cell, analyse_photon_transfer(std::move(points[c]), context));
    const auto n = static_cast<double>(relation_captures);
    cell.relation.captures = relation_captures;
    cell.relation.shot_noise_factor = cell.conversion_gain * (n - 1.0) / n;
    cell.relation.read_noise_variance = cell.dark_temporal_variance + cell.dsnu_variance;
  }
  return out;
}

// K must rise with the analog gain: a gain stage that does not reach the
// pixel signal (or a mislabelled set) shows as a flat K.
void check_growth(ModeCharacterization& mode) {
  for (std::size_t i = 1; i < mode.gains.size(); ++i) {
    const GainCharacterization& lower = mode.gains[i - 1];
    GainCharacterization& upper = mode.gains[i];
    const double gain_ratio = upper.analog_gain.value() / lower.analog_gain.value();
    const double limit = 1.0 + kMinGrowthShare * (gain_ratio - 1.0);
    for (int c = 0; c < kCellPositions; ++c) {
      const double k_low = lower.cells[c].conversion_gain, k_high = upper.cells[c].conversion_gain;
      const double growth = k_high / k_low;
      upper.cells[c].flags.push_back(
          {"k_growth", growth >= limit, growth, limit,
           growth >= limit ? std::string()
                           : "the conversion gain of " + cell_where(mode.mode, upper.analog_gain, c) + " is " +
                                 figure_text(growth) + "x that at analog gain " + lower.analog_gain.text() + " (" +
                                 figure_text(k_low) + " to " + figure_text(k_high) + " DN/e-), at least " +
                                 figure_text(limit) + "x expected for a " + figure_text(gain_ratio) + "x analog gain"});
    }
  }
}

}  // namespace

namespace {

// The gains of a mode by rising analog gain, every condition checked.
std::vector<const GainCaptures*> checked_gains(const ModeCaptures& captures) {
  if (captures.gains.empty())
    throw CalibrationError(std::string("no analog gain with captures for ") +
                           std::string(sensor_mode_name(captures.mode)));
  std::vector<const GainCaptures*> order;
  for (const GainCaptures& g : captures.gains) order.push_back(&g);
  std::stable_sort(order.begin(), order.end(), [](const GainCaptures* a, const GainCaptures* b) {
    return a->analog_gain.value() < b->analog_gain.value();
  });
  for (std::size_t i = 1; i < order.size(); ++i)
    if (order[i]->analog_gain.value() == order[i - 1]->analog_gain.value())
      throw CalibrationError("analog gain " + order[i]->analog_gain.text() + " is listed twice for " +
                             std::string(sensor_mode_name(captures.mode)));
  require_even_frame(captures.height, captures.width);
  for (const GainCaptures* g : order) check_gain(captures, *g);
  return order;
}

}  // namespace

ModeCharacterization characterize_mode(const ModeCaptures& captures, const CharacterizationParam& param) {
  const std::vector<const GainCaptures*> order = checked_gains(captures);
  ModeCharacterization out;
  out.mode = captures.mode;
  SceneBinner binner;
  for (const GainCaptures* g : order) out.gains.push_back(characterize_gain(captures, *g, param, binner));
  check_growth(out);
  for (GainCharacterization& g : out.gains)
    for (const CellCharacterization& cell : g.cells)
      for (const QualityFlag& f : cell.flags)
        if (!f.passed) g.warnings.push_back(f.warning);
  return out;
}

Characterization characterize(const std::vector<ModeCaptures>& modes, const CharacterizationParam& param) {
  for (std::size_t i = 0; i < modes.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j)
      if (modes[i].mode == modes[j].mode)
        throw CalibrationError(std::string("sensor mode ") + std::string(sensor_mode_name(modes[i].mode)) +
                               " is given twice: each mode is characterised from its own captures");
    checked_gains(modes[i]);
  }
  Characterization out;
  for (const ModeCaptures& m : modes) out.modes.push_back(characterize_mode(m, param));
  return out;
}

}  // namespace tuning::characterize
