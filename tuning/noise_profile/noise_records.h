// Conversions shared by the two noise module bindings (header only: the
// binding sources are the only ones that see Python).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "../tunekit/host.h"

namespace tunekit::noise_records {

// A list of `count` tuples of `width` zeros: the default coefficients of a profile.
inline py::object zero_rows_factory(int count, int width) {
  return py::cpp_function([count, width]() {
    py::list rows;
    for (int r = 0; r < count; ++r) {
      py::tuple row(width);
      for (int i = 0; i < width; ++i) row[i] = 0.0;
      rows.append(row);
    }
    return rows;
  });
}

// List[Tuple[float, ...]] with `width` reals per row.
inline py::object coeff_rows_type(int width) {
  py::object float_t = py::type::of(py::float_(0.0));
  py::tuple items(width);
  for (int i = 0; i < width; ++i) items[i] = float_t;
  return typing_attr("List")[typing_attr("Tuple")[items]];
}

template <typename Row>
py::list coeff_rows(const std::vector<Row>& rows) {
  py::list out;
  for (const auto& row : rows) {
    py::tuple t(row.size());
    for (std::size_t i = 0; i < row.size(); ++i) t[i] = row[i];
    out.append(t);
  }
  return out;
}

// The host record of a profile: module, coeffs, coeffs_256.
template <typename Profile>
py::object profile_record(py::module_& m, const char* record_name, const Profile& profile) {
  return m.attr(record_name)(py::arg("module") = profile.module, py::arg("coeffs") = coeff_rows(profile.coeffs),
                             py::arg("coeffs_256") = coeff_rows(profile.coeffs_256));
}

// The profile record of a noise module: module, and per cell position `width`
// coefficients, highest power first, in raw units and on the 256-scale (four
// rows of zeros by default).
inline void define_profile_record(py::module_& m, const char* name, const char* module, int width,
                                  const char* coeffs_doc, const char* coeffs_256_doc, const char* doc) {
  define_record(m, name, common_module().attr("TuningResult"),
                {{"module", py::type::of(py::str("")), py::str(module), "calibration module short name"},
                 {"coeffs", coeff_rows_type(width), zero_rows_factory(4, width), coeffs_doc, true},
                 {"coeffs_256", coeff_rows_type(width), zero_rows_factory(4, width), coeffs_256_doc, true}},
                doc);
}

// Converts the host's records (the file record first, then the capture format,
// then the tuning record, by tuning_from) and calls a core routine on them with
// the GIL released.
template <typename Result, typename FileParamT, typename TuningParamT>
Result call_core(Result (*routine)(const FileParamT&, const TuningParamT&), py::handle file_param,
                 py::handle tuning_param, py::handle capture_format, TuningParamT (*tuning_from)(py::handle)) {
  auto fp = record_from<FileParamT>(file_param);
  fp.capture_format = capture_format_from(capture_format);
  const TuningParamT tp = tuning_from(tuning_param);
  ReleasedGil nogil;
  return routine(fp, tp);
}

// Declares a routine of the host's records: (file_param, tuning_param, *, capture_format=None).
template <typename Function>
void def_record_routine(py::module_& m, const char* name, Function&& function, const char* doc) {
  m.def(name, std::forward<Function>(function), py::arg("file_param"), py::arg("tuning_param"), py::kw_only(),
        py::arg("capture_format") = py::none(), doc);
}

// Declares a calibration: the core routine's profile as the host record profile_name.
template <typename Profile, typename FileParamT, typename TuningParamT>
void def_calibration(py::module_& m, const char* name, const char* profile_name,
                     Profile (*routine)(const FileParamT&, const TuningParamT&),
                     TuningParamT (*tuning_from)(py::handle), const char* doc) {
  def_record_routine(
      m, name,
      [m, profile_name, routine, tuning_from](py::object file_param, py::object tuning_param,
                                              py::object capture_format) mutable {
        return profile_record(m, profile_name,
                              call_core(routine, file_param, tuning_param, capture_format, tuning_from));
      },
      doc);
}

// Declares a measurement: the core routine's points, handed to the host by to_host.
template <typename Points, typename Host, typename FileParamT, typename TuningParamT>
void def_measurement(py::module_& m, const char* name, Points (*routine)(const FileParamT&, const TuningParamT&),
                     TuningParamT (*tuning_from)(py::handle), Host (*to_host)(const Points&), const char* doc) {
  def_record_routine(
      m, name,
      [routine, tuning_from, to_host](py::object file_param, py::object tuning_param, py::object capture_format) {
        return to_host(call_core(routine, file_param, tuning_param, capture_format, tuning_from));
      },
      doc);
}

// Declares the module's `main`: the core's entry on its built-in settings, GIL released.
template <typename Entry>
void def_entry_main(py::module_& m, std::string (*run)(const Entry&), Entry (*defaults)(), const char* doc) {
  m.def(
      "main",
      [run, defaults]() {
        ReleasedGil nogil;
        run(defaults());
      },
      doc);
}

}  // namespace tunekit::noise_records
