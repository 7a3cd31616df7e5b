// Conversions shared by the two noise module bindings (header only: the
// binding sources are the only ones that see Python).
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "../tunekit/host.h"

namespace tunekit::noise_records {

// The capture-set record of either noise module: the base fields plus the
// gains and exposure times.
template <typename FileParamT>
FileParamT noise_file_param_from(py::handle record) {
  FileParamT p;
  static_cast<tuning::FileParam&>(p) = file_param_from(record);
  p.again_list = numbers_from(record.attr("again_list"), "again_list");
  p.exp_time_list = numbers_from(record.attr("exp_time_list"), "exp_time_list");
  return p;
}

inline std::vector<double> levels_from(py::handle record, const char* name) {
  std::vector<double> out;
  for (const tuning::Number& n : numbers_from(record.attr(name), name)) out.push_back(n.value());
  return out;
}

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

// Calls a core routine on the two converted records with the GIL released.
template <typename Result, typename FileParamT, typename TuningParamT>
Result call_core(Result (*routine)(const FileParamT&, const TuningParamT&), const FileParamT& file_param,
                 const TuningParamT& tuning_param) {
  ReleasedGil nogil;
  return routine(file_param, tuning_param);
}

// The host record of a profile: module, coeffs, coeffs_256.
template <typename Profile>
py::object profile_record(py::module_& m, const char* record_name, const Profile& profile) {
  return m.attr(record_name)(py::arg("module") = profile.module, py::arg("coeffs") = coeff_rows(profile.coeffs),
                             py::arg("coeffs_256") = coeff_rows(profile.coeffs_256));
}

}  // namespace tunekit::noise_records
