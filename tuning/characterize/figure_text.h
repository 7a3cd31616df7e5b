// Short text of a measured figure for warnings and errors.
#pragma once

#include <cstdio>
#include <string>

namespace tuning::characterize {

// Four significant digits: enough to compare against a limit at a glance.
inline std::string figure_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

}  // namespace tuning::characterize
