// The capture naming rule, written once: the name of a capture, the parts of a
// name, and the glob that finds the captures of one condition.
//   <prefix>_<kind>_<LCG|HCG>_exp_<exposure>_again_<gain>_<suffix>.raw
// (.dng for DNG captures). Exposure and gain are the numbers' text as given:
// 16 stays "16", 16.0 stays "16.0".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture_format.h"
#include "model.h"

namespace tuning {

// ".raw", or ".dng" for the dng layout.
std::string_view capture_extension(const CaptureFormat& format);

std::string capture_name(std::string_view prefix, std::string_view kind, SensorMode mode, std::string_view exposure,
                         std::string_view gain, std::string_view suffix, const CaptureFormat& format = {});

struct CaptureName {
  std::string prefix;
  std::string kind;  // letters only
  SensorMode mode = SensorMode::LCG;
  std::string exposure;
  std::string gain;
  std::string suffix;
  std::string extension = ".raw";  // ".raw" or ".dng"
};

constexpr auto record_fields_of(RecordTag<CaptureName>) {
  return record<CaptureName>("CaptureName", "The parts of a capture file name.",
                             field("prefix", &CaptureName::prefix, "text before the kind"),
                             field("kind", &CaptureName::kind, "capture kind (dark, flat, ...), letters only"),
                             field("mode", &CaptureName::mode, "conversion gain mode"),
                             field("exposure", &CaptureName::exposure, "exposure time as written in the name"),
                             field("gain", &CaptureName::gain, "analog gain as written in the name"),
                             field("suffix", &CaptureName::suffix, "text after the gain, before the extension"),
                             field("extension", &CaptureName::extension, "\".raw\" or \".dng\""));
}

// The parts of a file name (no folder), or nothing when it follows no convention.
std::optional<CaptureName> parse_capture_name(std::string_view name);

// <dir>/*_<kind>_<mode>_exp_<exposure>_again_<gain>_*<extension> with dir
// normalised; exposure or gain may be "*".
std::string capture_pattern(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                            std::string_view exposure, std::string_view gain, const CaptureFormat& format = {});
std::string capture_pattern(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                            const Number& exposure, const Number& gain, const CaptureFormat& format = {});

// The captures of one condition, in directory-listing order.
std::vector<std::string> condition_captures(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                                            std::string_view exposure, std::string_view gain,
                                            const CaptureFormat& format = {});

}  // namespace tuning
