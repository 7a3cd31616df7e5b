// tuning.blc.blc: black level records and routines.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "../shared/errors.h"
#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "black_level.h"

namespace tunekit {
namespace {

namespace blc = tuning::blc;

py::tuple level_tuple(const blc::BlackLevel4& level) { return py::make_tuple(level[0], level[1], level[2], level[3]); }

py::object result_record(py::module_& m, const blc::BLCTuningResult& result) {
  py::dict sbl;
  for (const auto& gain : result.sbl) {
    py::dict exposures;
    for (const auto& exposure : gain.exposures) exposures[py::str(exposure.key)] = level_tuple(exposure.level);
    sbl[py::str(gain.key)] = exposures;
  }
  py::dict fixed;
  if (result.has_fixed_sbl) fixed["fixed_sbl"] = result.fixed_sbl;
  return m.attr("BLCTuningResult")(py::arg("module") = result.module, py::arg("sbl") = sbl,
                                   py::arg("fixed_sbl") = fixed);
}

using Sweep = blc::BLCTuningResult (*)(const blc::BLCFileParam&, const tuning::LineSink&);

py::object run_sweep(py::module_& m, Sweep sweep, py::handle file_param, py::handle capture_format) {
  blc::BLCFileParam p = record_from<blc::BLCFileParam>(file_param);
  p.capture_format = capture_format_from(capture_format);
  blc::BLCTuningResult result;
  {
    ReleasedGil nogil;
    result = sweep(p, host_print());
  }
  return result_record(m, result);
}

// Frames of the host: uint16 arrays pass through untouched, anything else is
// converted to uint16 by the array library's own rules.
blc::BlackLevel4 count_sbl_list(py::object img_list) {
  std::vector<py::array_t<std::uint16_t, py::array::c_style | py::array::forcecast>> frames;
  for (py::handle img : img_list) frames.emplace_back(py::reinterpret_borrow<py::object>(img));
  if (frames.empty()) throw tuning::CalibrationError(tuning::kEmptyImageList);
  const auto& first = frames.front();
  if (first.ndim() != 2)
    throw tuning::ShapeError("count_sbl_list needs 2-D frames, got " + std::to_string(first.ndim()) + " dimensions");
  std::vector<const std::uint16_t*> data;
  for (const auto& f : frames) {
    if (f.ndim() != 2 || f.shape(0) != first.shape(0) || f.shape(1) != first.shape(1))
      throw tuning::ShapeError("all frames must have the same shape: the first is " + std::to_string(first.shape(0)) +
                               " x " + std::to_string(first.shape(1)));
    data.push_back(f.data());
  }
  ReleasedGil nogil;
  return blc::mean_cell_levels(data, first.shape(0), first.shape(1));
}

}  // namespace

void declare_blc(py::module_& m) {
  m.doc() = "Black level calibration from dark captures.";
  py::module_ common = common_module();
  py::object str_t = py::type::of(py::str(""));
  py::object dict_t = py::type::of(py::dict());

  define_record<blc::BLCFileParam>(m, common.attr("FileParam"));
  define_record<blc::BLCTuningParam>(m, common.attr("TuningParam"));
  define_record(m, "BLCTuningResult", common.attr("TuningResult"),
                {{"module", str_t, py::str("blc"), "calibration module short name"},
                 {"sbl", dict_t, dict_t, "again_<gain> -> exp_time_<exposure> -> 4 black levels in cell-position order",
                  true, "Dict[str, Dict[str, Tuple[float, float, float, float]]]"},
                 {"fixed_sbl", dict_t, dict_t, "{'fixed_sbl': mean over pairs of the 4-channel mean}, or empty", true,
                  "Dict[str, float]"}},
                "Black levels per (gain, exposure) pair and the fixed static black level.");

  m.def(
      "gen_blc_param",
      [m](py::object file_param, py::object /*tuning_param*/, py::object capture_format) mutable {
        return run_sweep(m, &blc::gen_blc_param, file_param, capture_format);
      },
      py::arg("file_param"), py::arg("tuning_param"), py::kw_only(), py::arg("capture_format") = py::none(),
      "Black level per cell position (raw DN) for every (gain, exposure) pair with dark captures.");
  m.def(
      "gen_blc_param_v2",
      [m](py::object file_param, py::object /*tuning_param*/, py::object capture_format) mutable {
        return run_sweep(m, &blc::gen_blc_param_v2, file_param, capture_format);
      },
      py::arg("file_param"), py::arg("tuning_param"), py::kw_only(), py::arg("capture_format") = py::none(),
      "Black levels scaled by 256 / 2^bits (8-bit scale); captures must hold exactly width x height samples.");
  m.def(
      "count_sbl_list",
      [](py::object img_list, py::object capture_format) {
        capture_format_from(capture_format);  // the frames are samples already; a bad format still fails
        return level_tuple(count_sbl_list(img_list));
      },
      py::arg("img_list"), py::kw_only(), py::arg("capture_format") = py::none(),
      "Mean per cell position over equally sized frames (raw DN). The frames are samples already: "
      "capture_format is accepted for symmetry with the file routines and only checked.");
  m.def(
      "count_sbl_list_v2",
      [](std::vector<std::string> file_list, py::object file_param, py::object capture_format) {
        tuning::FileParam p = record_from<tuning::FileParam>(file_param);
        p.capture_format = capture_format_from(capture_format);
        if (file_list.empty()) throw tuning::AssertionFailure("count_sbl_list_v2 needs at least one capture file");
        blc::BlackLevel4 level;
        {
          ReleasedGil nogil;
          level = blc::mean_capture_levels_256(file_list, p);
        }
        return level_tuple(level);
      },
      py::arg("file_list"), py::arg("file_param"), py::kw_only(), py::arg("capture_format") = py::none(),
      "Mean over files of the per-file cell-position means, times 256 / 2^bits (8-bit scale).");
  m.def(
      "main",
      []() {
        ReleasedGil nogil;
        blc::run_entry(host_print());
      },
      "Runs the black level calibration on the built-in settings and writes result.json.");
  declare_dark_shading(m);
}

}  // namespace tunekit
