// tuning.noise_profile.shot_noise: records and the calibration.
#include <pybind11/stl.h>

#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "noise_records.h"
#include "shot_noise_model.h"

namespace tunekit {
namespace {

namespace noise = tuning::noise;

noise::ShotNoiseTuningParam shot_noise_tuning_from(py::handle record) {
  auto p = noise_records::noise_tuning_from<noise::ShotNoiseTuningParam>(record);
  p.freq_threshold = int_field(record, "freq_threshold");
  for (py::handle roi : record.attr("ROIs"))
    p.rois.push_back({int_field(roi, "top"), int_field(roi, "left"), int_field(roi, "bottom"), int_field(roi, "right")});
  return p;
}

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
  py::object str_t = py::type::of(py::str(""));
  py::object int_t = py::type::of(py::int_(0));
  py::object list_factory = py::type::of(py::list());
  py::object four_zeros = py::cpp_function([]() {
    py::list l;
    for (int i = 0; i < 4; ++i) l.append(0.0);
    return l;
  });

  noise_records::define_file_record(m, "ShotNoiseFileParam", "shot_noise",
                                    "A set of repeated noise captures at several analog gains.");
  py::object rect = define_record(m, "Rect", py::module_::import("pydantic").attr("BaseModel"),
                                  {{"top", int_t, py::int_(0), "first row (full-resolution pixels)"},
                                   {"left", int_t, py::int_(0), "first column (full-resolution pixels)"},
                                   {"bottom", int_t, py::int_(0), "row after the last row (full-resolution pixels)"},
                                   {"right", int_t, py::int_(0), "column after the last column (full-resolution pixels)"}},
                                  "A region of the frame whose pixels are measured.");
  define_record(m, "ShotNoiseTuningParam", common.attr("TuningParam"),
                {{"module", str_t, py::str("shot_noise"), "calibration module short name"},
                 {"black_level", number_list_type(), four_zeros,
                  "black level per cell position (raw DN); the zero default is a placeholder", true},
                 {"white_level", number_list_type(), four_zeros,
                  "white level per cell position (raw DN); the zero default is a placeholder", true},
                 {"freq_threshold", int_t, py::int_(100),
                  "least samples (pixels x captures) a signal level needs to enter the fit; empty levels never do"},
                 {"ROIs", typing_attr("List")[rect], list_factory, "regions to measure; empty: the whole frame",
                  true}},
                "Levels, threshold and regions of the shot noise calibration.");
  noise_records::define_profile_record(
      m, "ShotNoiseProfile", "shot_noise", 2,
      "per cell position (a1, a0) of the shot noise factor a1 g + a0 (raw DN^2 per DN, g the analog gain)",
      "the same in 256-scale units (black to white level spans 256)", "Shot noise factor model.");

  noise_records::def_calibration(
      m, "calibrate_shot_noise", "ShotNoiseProfile", &noise::calibrate_shot_noise, &shot_noise_tuning_from,
      "Shot noise factor per cell position at every gain of again_list, fitted as a line of the gain.");
  noise_records::def_measurement(
      m, "measure_shot_noise", &noise::measure_shot_noise, &shot_noise_tuning_from, &shot_noise_points,
      "The per-gain level fits calibrate_shot_noise builds on: for each gain with captures, per cell position "
      "the searched level range, the levels above black (raw DN), their variances (raw DN^2), sample counts and "
      "the fitted slopes k (raw) and k256 (256-scale).");
  noise_records::def_entry_main(m, &noise::run_shot_noise_entry, &noise::default_shot_noise_entry,
                                "Runs the shot noise calibration on ./test_data/shot_noise/ and writes shot_noise.json "
                                "there.");
}

}  // namespace tunekit
