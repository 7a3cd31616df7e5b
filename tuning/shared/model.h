// Enumerations and the base capture-set description shared by every calibration.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture_format.h"
#include "record_fields.h"

namespace tuning {

enum class SensorMode { LCG, HCG };

// Colour filter layouts. GRGB's value text is "GRBG": stored files and callers use that text.
enum class CFAType { RGGB, BGGR, GBRG, GRGB };

std::string_view sensor_mode_name(SensorMode mode);
std::string_view cfa_type_value(CFAType type);

// A number as the caller gave it: integers and reals print differently in file
// patterns and result keys (16 stays "16", 16.0 stays "16.0").
struct Number {
  bool is_integer = true;
  std::int64_t integer = 0;
  double real = 0.0;

  static Number of_integer(std::int64_t v) { return {true, v, 0.0}; }
  static Number of_real(double v) { return {false, 0, v}; }
  double value() const { return is_integer ? static_cast<double>(integer) : real; }
  std::string text() const;
};

// Description of one capture set.
struct FileParam {
  std::string inp_file_dir;
  std::string out_file_dir;
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t bits = 0;
  CFAType cfa_type = CFAType::RGGB;
  SensorMode sensor_mode = SensorMode::LCG;
  CaptureFormat capture_format;  // how the capture files store their frames
};

// The capture format is no field of the record: the routines take it apart.
constexpr auto record_fields_of(RecordTag<FileParam>) {
  return record<FileParam>("FileParam", "Description of one capture set.",
                           field("inp_file_dir", &FileParam::inp_file_dir, "folder holding the raw capture files"),
                           field("out_file_dir", &FileParam::out_file_dir, "folder receiving result files"),
                           field("width", &FileParam::width, "frame width in pixels (samples per row)"),
                           field("height", &FileParam::height, "frame height in rows"),
                           field("bits", &FileParam::bits, "significant bits per sample"),
                           field("cfa_type", &FileParam::cfa_type, "colour filter layout"),
                           field("sensor_mode", &FileParam::sensor_mode, "conversion gain mode of the captures"));
}

// The fields every calibration's tuning record and result start with; each
// calibration's own records list their module again with its name as default.
struct TuningParam {
  std::string module;
};
struct TuningResult {
  std::string module;
};

constexpr auto record_fields_of(RecordTag<TuningParam>) {
  return record<TuningParam>("TuningParam", "Tuning parameters of a calibration routine.",
                             field("module", &TuningParam::module, "calibration module short name"));
}
constexpr auto record_fields_of(RecordTag<TuningResult>) {
  return record<TuningResult>("TuningResult", "Result of a calibration routine.",
                              field("module", &TuningResult::module, "calibration module short name"));
}

// Shortest decimal text that reads back to the same double, in the form the
// Python host prints a float (always with a fractional part or an exponent).
std::string float_repr(double value);

// The host's list notation for a list of paths: ['a', 'b'].
std::string path_list_repr(const std::vector<std::string>& paths);

}  // namespace tuning
