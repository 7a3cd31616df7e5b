// Input checks that keep every table index and every shift inside its range.
// Each returns an empty string when the input is usable, otherwise a reason
// naming the parameter, the expected and the found value.
#pragma once

#include <string>

#include "params.h"
#include "stages.h"

namespace tonewright {

std::string check_params(const TmoParams& p, const Geometry& g);
// Run once the log luminance is known: every log bin must have a histogram slot.
std::string check_log_range(int64_t largest_log, int bins);

}  // namespace tonewright
