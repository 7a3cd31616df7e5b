// tuning.noise_profile.read_noise: records, the calibration, and the capture
// sums and polynomial fit it shares with the shot noise module.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>

#include "../shared/errors.h"
#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "capture_sums.h"
#include "noise_records.h"
#include "polynomial_fit.h"
#include "read_noise_model.h"

namespace tunekit {
namespace {

namespace noise = tuning::noise;

py::array_t<double> frame_array(const std::vector<double>& values, std::int64_t height, std::int64_t width) {
  py::array_t<double> out({std::max<std::int64_t>(height, 0), std::max<std::int64_t>(width, 0)});
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

// numpy's own rules turn lists, tuples and arrays into doubles.
py::array_t<double, py::array::c_style | py::array::forcecast> as_doubles(py::handle values) {
  return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
}

py::array fit_polynomial(py::object x, py::object y, int degree, py::object w) {
  const auto xs = as_doubles(x), ys = as_doubles(y);
  if (!xs || !ys) throw py::error_already_set();
  if (xs.ndim() != 1) throw tuning::ShapeError("fit_polynomial: x must be one-dimensional");
  if (ys.ndim() != 1 && ys.ndim() != 2) throw tuning::ShapeError("fit_polynomial: y must have one or two dimensions");
  const std::size_t columns = ys.ndim() == 2 ? static_cast<std::size_t>(ys.shape(1)) : 1;
  const std::size_t rows = static_cast<std::size_t>(ys.shape(0));
  if (rows != static_cast<std::size_t>(xs.shape(0)))
    throw tuning::ShapeError("fit_polynomial: x holds " + std::to_string(xs.shape(0)) + " values, y " +
                             std::to_string(rows) + " rows");
  std::vector<double> weights;
  if (!w.is_none()) {
    const auto ws = as_doubles(w);
    if (!ws) throw py::error_already_set();
    weights.assign(ws.data(), ws.data() + ws.size());
  }
  const std::vector<double> xv(xs.data(), xs.data() + xs.size());
  const std::vector<double> yv(ys.data(), ys.data() + ys.size());
  noise::PolynomialFit fit;
  {
    ReleasedGil nogil;
    fit = noise::fit_polynomial(xv, yv, columns, degree, weights);
  }
  if (ys.ndim() == 1) {
    py::array_t<double> out(static_cast<py::ssize_t>(fit.terms));
    std::copy(fit.coefficients.begin(), fit.coefficients.end(), out.mutable_data());
    return out;
  }
  py::array_t<double> out({static_cast<py::ssize_t>(fit.terms), static_cast<py::ssize_t>(columns)});
  std::copy(fit.coefficients.begin(), fit.coefficients.end(), out.mutable_data());
  return out;
}

py::list cell_rows(const std::vector<tuning::CellValues>& rows) {
  py::list out;
  for (const auto& r : rows) out.append(py::make_tuple(r[0], r[1], r[2], r[3]));
  return out;
}

py::dict read_noise_points(const noise::ReadNoiseMeasurements& points) {
  py::dict out;
  out["analog_gains"] = points.analog_gains;
  out["sigmas"] = cell_rows(points.sigmas);
  out["sigmas_256"] = cell_rows(points.sigmas_256);
  return out;
}

}  // namespace

void declare_read_noise(py::module_& m) {
  m.doc() = "Read noise calibration: dark-frame variance per cell position as a quadratic of the analog gain.";
  py::module_ common = common_module();

  define_record<noise::ReadNoiseFileParam>(m, common.attr("FileParam"));
  define_record<noise::ReadNoiseTuningParam>(m, common.attr("TuningParam"));
  noise_records::define_profile_record(
      m, "ReadNoiseProfile", "read_noise", 3,
      "per cell position (a2, a1, a0) of the variance a2 g^2 + a1 g + a0 (raw DN^2, g the analog gain)",
      "the same in 256-scale units^2 (black to white level spans 256)",
      "Read noise variance model; empty lists when no gain had dark captures.");

  noise_records::def_calibration(
      m, "calibrate_read_noise", "ReadNoiseProfile", &noise::calibrate_read_noise,
      &record_from<noise::ReadNoiseTuningParam>,
      "Dark-frame variance per cell position at every gain of again_list, fitted as a quadratic of the gain.");
  noise_records::def_measurement(
      m, "measure_read_noise", &noise::measure_read_noise, &record_from<noise::ReadNoiseTuningParam>,
      &read_noise_points,
      "The points calibrate_read_noise fits: analog_gains, and per gain the variance of each cell position "
      "(sigmas, raw DN^2; sigmas_256, 256-scale units^2).");
  m.def(
      "accumulate_capture_sums",
      [](std::vector<std::string> files, std::int64_t height, std::int64_t width, py::object capture_format) {
        const tuning::CaptureFormat format = capture_format_from(capture_format);
        noise::CaptureSums sums;
        {
          ReleasedGil nogil;
          sums = noise::accumulate_capture_sums(files, height, width, format);
        }
        return py::make_tuple(frame_array(sums.sum_arr, height, width), frame_array(sums.square_sum_arr, height, width),
                              sums.num);
      },
      py::arg("files"), py::arg("height"), py::arg("width"), py::kw_only(), py::arg("capture_format") = py::none(),
      "(sum_arr, square_sum_arr, num): per-pixel sums of the samples and of their squares over the captures "
      "(height x width float64 arrays, exact), and the number of captures.");
  m.def("fit_polynomial", &fit_polynomial, py::arg("x"), py::arg("y"), py::arg("deg"), py::arg("w") = py::none(),
        "Least-squares polynomial coefficients, highest power first; y may hold one column per fit. Weights "
        "multiply the residuals; rank-deficient fits give the minimum-norm answer.");
  noise_records::def_entry_main(m, &noise::run_read_noise_entry, &noise::default_read_noise_entry,
                                "Runs the read noise calibration on the built-in settings and writes read_noise.json.");
}

}  // namespace tunekit
