// The characterisation as JSON, one object per mode, gain and cell position,
// fields named as in the result structs.
#include "characterization.h"

namespace tuning::characterize {

namespace {

OrderedJson point_json(const CurvePoint& p) {
  OrderedJson j = OrderedJson::object();
  j["exposure"] = p.exposure;
  j["signal"] = p.signal;
  j["temporal_variance"] = p.temporal_variance;
  j["spatial_variance"] = p.spatial_variance;
  j["pixels"] = p.pixels;
  j["samples"] = p.samples;
  j["snr"] = p.snr;
  j["snr_db"] = p.snr_db;
  j["clipped"] = p.clipped;
  j["in_fit"] = p.in_fit;
  return j;
}

OrderedJson flag_json(const QualityFlag& f) {
  OrderedJson j = OrderedJson::object();
  j["name"] = f.name;
  j["passed"] = f.passed;
  j["value"] = f.value;
  j["limit"] = f.limit;
  j["warning"] = f.warning;
  return j;
}

OrderedJson cell_json(const CellCharacterization& c) {
  OrderedJson j = OrderedJson::object();
  j["dark_level"] = c.dark_level;
  j["dark_temporal_variance"] = c.dark_temporal_variance;
  j["dark_noise"] = c.dark_noise;
  j["dsnu_variance"] = c.dsnu_variance;
  j["dsnu"] = c.dsnu;
  j["dsnu_e"] = c.dsnu_e;
  j["conversion_gain"] = c.conversion_gain;
  j["curve_intercept"] = c.curve_intercept;
  j["read_noise_e"] = c.read_noise_e;
  j["prnu"] = c.prnu;
  j["prnu_signal"] = c.prnu_signal;
  j["saturation_level"] = c.saturation_level;
  j["saturation_signal"] = c.saturation_signal;
  j["saturation_capacity_e"] = c.saturation_capacity_e;
  j["dynamic_range_db"] = c.dynamic_range_db;
  j["linearity_error"] = c.linearity_error;
  j["levels"] = c.levels;
  j["span"] = c.span;
  j["r_squared"] = c.r_squared;
  j["residual"] = c.residual;
  j["expected_residual"] = c.expected_residual;
  OrderedJson relation = OrderedJson::object();
  relation["captures"] = c.relation.captures;
  relation["shot_noise_factor"] = c.relation.shot_noise_factor;
  relation["read_noise_variance"] = c.relation.read_noise_variance;
  j["relation"] = relation;
  j["curve"] = OrderedJson::array();
  for (const CurvePoint& p : c.curve) j["curve"].push_back(point_json(p));
  j["flags"] = OrderedJson::array();
  for (const QualityFlag& f : c.flags) j["flags"].push_back(flag_json(f));
  return j;
}

OrderedJson gain_json(const GainCharacterization& g) {
  OrderedJson j = OrderedJson::object();
  j["analog_gain"] = g.analog_gain.is_integer ? OrderedJson(g.analog_gain.integer) : OrderedJson(g.analog_gain.real);
  j["dark_captures"] = g.dark_captures;
  j["lit_captures"] = g.lit_captures;
  j["curve_source"] = g.curve_source;
  j["cells"] = OrderedJson::array();
  for (const CellCharacterization& c : g.cells) j["cells"].push_back(cell_json(c));
  j["warnings"] = g.warnings;
  return j;
}

}  // namespace

OrderedJson to_json(const Characterization& result) {
  OrderedJson out = OrderedJson::object();
  out["module"] = result.module;
  out["modes"] = OrderedJson::array();
  for (const ModeCharacterization& m : result.modes) {
    OrderedJson mode = OrderedJson::object();
    mode["sensor_mode"] = std::string(sensor_mode_name(m.mode));
    mode["gains"] = OrderedJson::array();
    for (const GainCharacterization& g : m.gains) mode["gains"].push_back(gain_json(g));
    out["modes"].push_back(mode);
  }
  return out;
}

}  // namespace tuning::characterize
