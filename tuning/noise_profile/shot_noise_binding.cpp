// tuning.noise_profile.shot_noise: records and the calibration.
#include <pybind11/stl.h>

#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "noise_records.h"
#include "shot_noise_model.h"

namespace tunekit {
namespace {

namespace noise = tuning::noise;

py::dict level_fit_dict(const noise::LevelFit& fit) {
  py::dict out;
  out["min_value"] = fit.min_value;
  out["max_value"] = fit.max_value;
  out["values"] = fit.values;
  out["variances"] = fit.variances;
  out["freqs"] = fit.freqs;
  out["k"] = fit.k;
  out["k256"] = fit.k256;
  return out;
}

py::list shot_noise_points(const noise::ShotNoiseMeasurements& points) {
  py::list out;
  for (const auto& g : points.gains) {
    py::list cells;
    for (const auto& cell : g.cells) cells.append(level_fit_dict(cell));
    py::dict entry;
    entry["analog_gain"] = g.analog_gain;
    entry["cells"] = cells;
    out.append(entry);
  }
  return out;
}

}  // namespace

void declare_shot_noise(py::module_& m) {
  m.doc() = "Shot noise calibration: variance growth with signal per cell position, as a line of the analog gain.";
  py::module_ common = common_module();

  define_record<noise::ShotNoiseFileParam>(m, common.attr("FileParam"));
  define_record<noise::Rect>(m, py::module_::import("pydantic").attr("BaseModel"));
  define_record<noise::ShotNoiseTuningParam>(m, common.attr("TuningParam"));
  noise_records::define_profile_record(
      m, "ShotNoiseProfile", "shot_noise", 2,
      "per cell position (a1, a0) of the shot noise factor a1 g + a0 (raw DN^2 per DN, g the analog gain)",
      "the same in 256-scale units (black to white level spans 256)", "Shot noise factor model.");

  noise_records::def_calibration(
      m, "calibrate_shot_noise", "ShotNoiseProfile", &noise::calibrate_shot_noise,
      &record_from<noise::ShotNoiseTuningParam>,
      "Shot noise factor per cell position at every gain of again_list, fitted as a line of the gain.");
  noise_records::def_measurement(
      m, "measure_shot_noise", &noise::measure_shot_noise, &record_from<noise::ShotNoiseTuningParam>,
      &shot_noise_points,
      "The per-gain level fits calibrate_shot_noise builds on: for each gain with captures, per cell position "
      "the searched level range, the levels above black (raw DN), their variances (raw DN^2), sample counts and "
      "the fitted slopes k (raw) and k256 (256-scale).");
  noise_records::def_entry_main(m, &noise::run_shot_noise_entry, &noise::default_shot_noise_entry,
                                "Runs the shot noise calibration on ./test_data/shot_noise/ and writes shot_noise.json "
                                "there.");
}

}  // namespace tunekit
