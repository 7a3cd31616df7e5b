// Discovery of the captures of one analog gain, any exposure time.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../shared/capture_format.h"
#include "../shared/model.h"

namespace tuning::noise {

// <dir>/*_<kind>_<mode>_exp_*_again_<gain text>_*.raw, dir normalised.
std::string gain_capture_pattern(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                                 std::string_view gain_text, const CaptureFormat& format = {});

// Matching files in directory-listing order; the gain is written as given
// (4 stays "4", 2.0 stays "2.0").
std::vector<std::string> captures_at_gain(const std::string& inp_file_dir, std::string_view kind, SensorMode mode,
                                          const Number& gain, const CaptureFormat& format = {});

// Tells the progress hook that every capture of one gain has been folded in.
void report_gain_done(std::string_view kind, SensorMode mode, const Number& gain, std::size_t captures);

}  // namespace tuning::noise
