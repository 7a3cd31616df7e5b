#include "capture_set.h"

#include <regex>

#include "raw_capture.h"

namespace tuning {

std::string_view capture_extension(const CaptureFormat& format) { return format.is_dng() ? ".dng" : ".raw"; }

std::string capture_name(std::string_view prefix, std::string_view kind, SensorMode mode, std::string_view exposure,
                         std::string_view gain, std::string_view suffix, const CaptureFormat& format) {
  std::string name(prefix);
  name += "_";
  name += kind;
  name += "_";
  name += sensor_mode_name(mode);
  name += "_exp_";
  name += exposure;
  name += "_again_";
  name += gain;
  name += "_";
  name += suffix;
  name += capture_extension(format);
  return name;
}

std::optional<CaptureName> parse_capture_name(std::string_view name) {
  // The prefix takes as much as it can, so a prefix with underscores parses.
  static const std::regex rule(R"((.*)_([A-Za-z]+)_(LCG|HCG)_exp_([^_]+)_again_([^_]+)_(.*)(\.raw|\.dng))");
  std::match_results<std::string_view::const_iterator> m;
  if (!std::regex_match(name.begin(), name.end(), m, rule)) return std::nullopt;
  CaptureName parts;
  parts.prefix = m[1];
  parts.kind = m[2];
  parts.mode = m[3] == "LCG" ? SensorMode::LCG : SensorMode::HCG;
  parts.exposure = m[4];
  parts.gain = m[5];
  parts.suffix = m[6];
  parts.extension = m[7];
  return parts;
}

std::string capture_pattern(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                            std::string_view exposure, std::string_view gain, const CaptureFormat& format) {
  return normalize_path(inp_file_dir) + "/" + capture_name("*", kind, mode, exposure, gain, "*", format);
}

std::string capture_pattern(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                            const Number& exposure, const Number& gain, const CaptureFormat& format) {
  return capture_pattern(inp_file_dir, kind, mode, exposure.text(), gain.text(), format);
}

std::vector<std::string> condition_captures(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                                            std::string_view exposure, std::string_view gain,
                                            const CaptureFormat& format) {
  return glob_files(capture_pattern(inp_file_dir, kind, mode, exposure, gain, format));
}

}  // namespace tuning
