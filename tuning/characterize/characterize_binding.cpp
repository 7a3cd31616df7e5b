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

struct Types {
  py::object str_t = py::type::of(py::str(""));
  py::object int_t = py::type::of(py::int_(0));
  py::object bool_t = py::type::of(py::bool_(false));
  py::object float_t = py::type::of(py::float_(0.0));
  py::object maybe_float = typing_attr("Optional")[float_t];
  py::object list_factory = py::type::of(py::list());
  py::object base_model = py::module_::import("pydantic").attr("BaseModel");
  py::object list_of(py::handle item) const { return typing_attr("List")[item]; }
};

// The result records; field names as the core's JSON writes them. A figure
// the captures cannot give (no flats, no saturation reached, a fit without
// enough levels) is None.
void declare_result_records(py::module_& m, const Types& t, py::object common) {
  py::object point = define_record(
      m, "CurvePoint", t.base_model,
      {{"exposure", t.maybe_float, py::none(), "exposure of the flat captures behind the point (as named); None for "
                                              "scene levels"},
       {"signal", t.maybe_float, py::none(), "mean signal above the dark level (DN)"},
       {"temporal_variance", t.maybe_float, py::none(),
        "variance over the captures (divisor n - 1), averaged over the pixels (DN^2)"},
       {"spatial_variance", t.maybe_float, py::none(),
        "flats: variance of the capture-averaged frame less the temporal part / n (DN^2)"},
       {"pixels", t.maybe_float, py::none(), "pixels behind the point (count)"},
       {"samples", t.maybe_float, py::none(), "pixels x captures (count)"},
       {"snr", t.maybe_float, py::none(), "signal / temporal noise (ratio)"},
       {"snr_db", t.maybe_float, py::none(), "20 log10(snr) (dB)"},
       {"clipped", t.bool_t, py::bool_(false), "at the white level, or quieter than the dark frame"},
       {"in_fit", t.bool_t, py::bool_(false), "in the linear part the conversion gain is fitted to"}},
      "One point of the photon transfer and signal-to-noise curves.");
  py::object flag = define_record(
      m, "QualityFlag", t.base_model,
      {{"name", t.str_t, py::str(""), "levels, span, r_squared, residual, saturation or k_growth"},
       {"passed", t.bool_t, py::bool_(true), "whether the check is met"},
       {"value", t.maybe_float, py::none(), "measured value, in the check's unit (count, ratio, DN, DN/e-)"},
       {"limit", t.maybe_float, py::none(), "the limit it is held against, same unit"},
       {"warning", t.str_t, py::str(""), "what is wrong and what it means; empty when passed"}},
      "One quality check of a fit.");
  py::object relation = define_record(
      m, "CalibrationRelation", t.base_model,
      {{"captures", t.int_t, py::int_(0), "n: captures per level the shot noise factor is formed over (count)"},
       {"shot_noise_factor", t.maybe_float, py::none(),
        "K (n - 1) / n: the shot noise calibration's factor for these captures (DN)"},
       {"read_noise_variance", t.maybe_float, py::none(),
        "temporal dark variance + DSNU^2: the read noise calibration's variance of the dark plane (DN^2)"}},
      "What the read and shot noise calibrations should report for the same captures.");
  py::object cell = define_record(
      m, "CellCharacterization", t.base_model,
      {{"dark_level", t.maybe_float, py::none(), "mean of the dark captures (DN)"},
       {"dark_temporal_variance", t.maybe_float, py::none(), "temporal dark variance, divisor n - 1 (DN^2)"},
       {"dark_noise", t.maybe_float, py::none(), "temporal dark noise (DN)"},
       {"dsnu_variance", t.maybe_float, py::none(),
        "dark signal non-uniformity variance; may dip below 0 by chance when there is none (DN^2)"},
       {"dsnu", t.maybe_float, py::none(), "dark signal non-uniformity (DN)"},
       {"dsnu_e", t.maybe_float, py::none(), "dark signal non-uniformity (e-)"},
       {"conversion_gain", t.maybe_float, py::none(), "K, slope of the photon transfer curve (DN/e-)"},
       {"curve_intercept", t.maybe_float, py::none(), "variance of the fitted line at zero signal (DN^2)"},
       {"read_noise_e", t.maybe_float, py::none(), "temporal dark noise in electrons (e-)"},
       {"prnu", t.maybe_float, py::none(), "photo-response non-uniformity near half saturation; None without "
                                          "flats (%)"},
       {"prnu_signal", t.maybe_float, py::none(), "signal PRNU was measured at (DN)"},
       {"saturation_level", t.maybe_float, py::none(), "dark level + saturation signal (DN)"},
       {"saturation_signal", t.maybe_float, py::none(), "signal where the temporal variance peaks (DN)"},
       {"saturation_capacity_e", t.maybe_float, py::none(), "saturation capacity (e-)"},
       {"dynamic_range_db", t.maybe_float, py::none(), "20 log10(saturation capacity / read noise) (dB)"},
       {"linearity_error", t.maybe_float, py::none(),
        "half the peak-to-peak deviation from a line in the exposure, 5 to 95 % of saturation (%)"},
       {"levels", t.int_t, py::int_(0), "points in the fitted linear part (count)"},
       {"span", t.maybe_float, py::none(), "highest over lowest signal of the fitted part (ratio)"},
       {"r_squared", t.maybe_float, py::none(), "coefficient of determination of the fit (ratio)"},
       {"residual", t.maybe_float, py::none(), "weighted relative residual of the fit (ratio)"},
       {"expected_residual", t.maybe_float, py::none(), "residual the sample counts alone explain (ratio)"},
       {"relation", relation, py::none(), "the calibrations' figures predicted for these captures"},
       {"curve", t.list_of(point), t.list_factory, "photon transfer and SNR curve, by rising signal", true},
       {"flags", t.list_of(flag), t.list_factory, "quality checks of the fit", true}},
      "The characterisation of one cell position at one gain.");
  py::object gain = define_record(
      m, "GainCharacterization", t.base_model,
      {{"analog_gain", typing_attr("Union")[py::make_tuple(py::module_::import("pydantic").attr("StrictInt"),
                                                             t.float_t)],
        py::int_(0), "analog gain (as named in the captures)"},
       {"dark_captures", t.int_t, py::int_(0), "dark captures read (count)"},
       {"lit_captures", t.int_t, py::int_(0), "lit captures per curve point (count)"},
       {"curve_source", t.str_t, py::str(""), "\"flat\" (flat captures at several exposures) or \"scene\" (levels "
                                              "of the noise captures)"},
       {"cells", t.list_of(cell), t.list_factory, "per cell position, in cell-position order", true},
       {"warnings", t.list_of(t.str_t), t.list_factory, "every failed check of the cells", true}},
      "The characterisation of one analog gain.");
  py::object mode = define_record(
      m, "ModeCharacterization", t.base_model,
      {{"sensor_mode", common.attr("SensorMode"), common.attr("SensorMode").attr("LCG"), "conversion gain mode"},
       {"gains", t.list_of(gain), t.list_factory, "by rising analog gain", true}},
      "The characterisation of one sensor mode.");
  define_record(m, "Characterization", common.attr("TuningResult"),
                {{"module", t.str_t, py::str("characterization"), "calibration module short name"},
                 {"modes", t.list_of(mode), t.list_factory, "one per sensor mode characterised", true}},
                "Sensor characterisation in physical units by the photon transfer method.");
}

}  // namespace

void declare_characterize(py::module_& m) {
  m.doc() = "Sensor characterisation: photon transfer curve, conversion gain, noise and non-uniformity in electrons.";
  py::module_ common = common_module();
  const Types t;
  define_record<ch::CharacterizationFileParam>(m, common.attr("FileParam"));
  define_record(m, "CharacterizationTuningParam", common.attr("TuningParam"),
                {{"module", t.str_t, py::str("characterization"), "calibration module short name"},
                 {"white_level", number_list_type(), py::cpp_function([]() {
                    py::list l;
                    for (int i = 0; i < 4; ++i) l.append(65535);
                    return l;
                  }),
                  "clipping level per cell position, or one for all four (raw DN)", true},
                 {"freq_threshold", t.int_t, py::int_(100),
                  "least samples (pixels x captures) a scene level needs to enter the curve"}},
                "Settings of the sensor characterisation.");
  declare_result_records(m, t, common);

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
