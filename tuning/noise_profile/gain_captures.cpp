#include "gain_captures.h"

#include "../shared/capture_set.h"
#include "../shared/progress.h"
#include "../shared/raw_capture.h"

namespace tuning::noise {

std::string gain_capture_pattern(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                                 std::string_view gain_text, const CaptureFormat& format) {
  return capture_pattern(inp_file_dir, kind, mode, "*", gain_text, format);
}

std::vector<std::string> captures_at_gain(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                                          const Number& gain, const CaptureFormat& format) {
  return glob_files(gain_capture_pattern(inp_file_dir, kind, mode, gain.text(), format));
}

void report_gain_done(std::string_view kind, SensorMode mode, const Number& gain, std::size_t captures) {
  if (!progress_wanted()) return;
  report_progress(
      {std::string(kind) + " " + std::string(sensor_mode_name(mode)) + " again " + gain.text(), captures, captures});
}

}  // namespace tuning::noise
