// tuning.characterize.characterize: records and the sensor characterisation.
#include <pybind11/stl.h>

#include "../tunekit/host.h"
#include "../tunekit/modules.h"
#include "characterization.h"
#include "file_captures.h"

namespace tunekit {
namespace {

namespace ch = tuning::characterize;

ch::CharacterizationFileParam file_param_of(py::handle record, py::handle capture_format) {
  ch::CharacterizationFileParam p;
  assign_fields<tuning::FileParam>(p, record);
  p.capture_format = capture_format_from(capture_format);
  assign_own_fields<ch::CharacterizationFileParam>(p, record);
  return p;
}

ch::CharacterizationParam tuning_param_of(py::handle record) {
  ch::CharacterizationParam p;
  const auto white = numbers_from(record.attr("white_level"), "white_level");
  if (white.size() == 1) {
    p.white_level.fill(white[0].value());
  } else if (white.size() == p.white_level.size()) {
    for (std::size_t c = 0; c < white.size(); ++c) p.white_level[c] = white[c].value();
  } else {
    throw py::value_error("white_level: expected 4 values (one per cell position) or 1 for all four, found " +
                          std::to_string(white.size()));
  }
  p.freq_threshold = int_field(record, "freq_threshold");
  return p;
}

// The result records, nested: each record before the records holding it.
void declare_result_records(py::module_& m) {
  py::object base_model = py::module_::import("pydantic").attr("BaseModel");
  define_record<ch::CurvePoint>(m, base_model);
  define_record<ch::QualityFlag>(m, base_model);
  define_record<ch::CalibrationRelation>(m, base_model);
  define_record<ch::CellCharacterization>(m, base_model);
  define_record<ch::GainCharacterization>(m, base_model);
  define_record<ch::ModeCharacterization>(m, base_model);
  define_record<ch::Characterization>(m, common_module().attr("TuningResult"));
}

}  // namespace

void declare_characterize(py::module_& m) {
  m.doc() = "Sensor characterisation: photon transfer curve, conversion gain, noise and non-uniformity in electrons.";
  py::module_ common = common_module();
  define_record<ch::CharacterizationFileParam>(m, common.attr("FileParam"));
  define_record(m, "CharacterizationTuningParam", common.attr("TuningParam"),
                {{"module", py::type::of(py::str("")), py::str("characterization"), "calibration module short name"},
                 {"white_level", number_list_type(), py::cpp_function([]() {
                    py::list l;
                    for (int i = 0; i < 4; ++i) l.append(65535);
                    return l;
                  }),
                  "clipping level per cell position, or one for all four (raw DN)", true},
                 {"freq_threshold", py::type::of(py::int_(0)), py::int_(100),
                  "least samples (pixels x captures) a scene level needs to enter the curve"}},
                "Settings of the sensor characterisation.");
  declare_result_records(m);

  m.def(
      "characterize",
      [m](py::object file_param, py::object tuning_param, py::object capture_format) {
        const ch::CharacterizationFileParam fp = file_param_of(file_param, capture_format);
        const ch::CharacterizationParam tp = tuning_param_of(tuning_param);
        std::string text;
        {
          ReleasedGil nogil;
          text = ch::to_json(ch::characterize({ch::file_captures(fp)}, tp)).dump();
        }
        return m.attr("Characterization").attr("parse_obj")(py::module_::import("json").attr("loads")(text));
      },
      py::arg("file_param"), py::arg("tuning_param"), py::kw_only(), py::arg("capture_format") = py::none(),
      "The sensor characterisation of the record's mode: per analog gain and cell position the dark level and "
      "noise, DSNU, the photon transfer curve (from flat captures when a gain has them, else from the levels of "
      "its noise captures), conversion gain, read noise in electrons, PRNU, saturation, dynamic range and "
      "linearity, with a quality check of every fit.");
}

}  // namespace tunekit
