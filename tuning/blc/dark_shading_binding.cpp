// tuning.blc.blc: dark shading mesh tables and the dark image quality preview.
#include <pybind11/numpy.h>

#include "../shared/errors.h"
#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "dark_preview.h"
#include "dark_shading.h"

namespace tunekit {
namespace {

namespace blc = tuning::blc;

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::dict dark_shading_tuning(py::handle file_param, py::handle tuning_param, py::handle capture_format) {
  blc::BLCFileParam p = record_from<blc::BLCFileParam>(file_param);
  p.capture_format = capture_format_from(capture_format);
  const blc::BLCTuningParam t = record_from<blc::BLCTuningParam>(tuning_param);
  blc::DarkShadingResult result;
  {
    ReleasedGil nogil;
    result = blc::dark_shading_tuning(p, t, host_print());
  }
  py::list tables;
  for (const auto& table : result.mesh_table) {
    py::array_t<double> array({table.rows, table.cols});
    std::copy(table.values.begin(), table.values.end(), array.mutable_data());
    tables.append(array);
  }
  py::dict out;
  out["mesh_table"] = tables;
  return out;
}

blc::PlaneView plane_of(const DoubleArray& array, const char* what) {
  if (array.ndim() != 2)
    throw tuning::ShapeError(std::string(what) + " must be a 2-D array (rows x columns); got " +
                             std::to_string(array.ndim()) + " dimensions");
  return {array.data(), array.shape(0), array.shape(1)};
}

void warn_if_blank(const blc::PreviewImage& image, const std::string& path) {
  if (!image.blank) return;
  const std::string message = "dark preview " + path + " is written black: its largest value before scaling is " +
                              tuning::float_repr(image.largest) +
                              ", so it cannot be stretched to 0..255 (a test frame without variation?)";
  py::module_::import("warnings").attr("warn")(message, py::handle(PyExc_RuntimeWarning), 1);
}

void check_tuning_quality_in_dark_img(const DoubleArray& mesh_table, const DoubleArray& testraw, std::int64_t with_sbl,
                                      const std::string& name, const std::string& path) {
  const blc::PlaneView mesh = plane_of(mesh_table, "mesh_table");
  const blc::PlaneView raw = plane_of(testraw, "testraw");
  blc::DarkQualityCheck check;
  {
    ReleasedGil nogil;
    check = blc::check_tuning_quality_in_dark_img(mesh, raw, with_sbl, name, path);
  }
  warn_if_blank(check.preview.before, check.files.before_path);
  warn_if_blank(check.preview.after, check.files.after_path);
}

}  // namespace

void declare_dark_shading(py::module_& m) {
  m.def("dark_shading_tuning", &dark_shading_tuning, py::arg("file_param"), py::arg("tuning_param"), py::kw_only(),
        py::arg("capture_format") = py::none(),
        "Dark shading mesh tables, one mesh_table_h x mesh_table_w float64 array (raw DN) per (gain, exposure) "
        "pair with dark captures, gain first: {'mesh_table': [tables]}. With with_sbl = 0 the tables are "
        "relative to fpn_sbl and clipped to [0, 2^bits - 1].");
  m.def("check_tuning_quality_in_dark_img", &check_tuning_quality_in_dark_img, py::arg("mesh_table"),
        py::arg("testraw"), py::arg("with_sbl"), py::arg("name"), py::arg("path"),
        "Writes <path>/tmp/<name>_before.png and <name>_after.png: 8 x 8 block means of the dark test frame "
        "(sides multiples of 8) before and after subtracting the mesh table, contrast-stretched on one common "
        "0..255 scale. A preview without contrast is written black with a RuntimeWarning. Returns None.");
}

}  // namespace tunekit
