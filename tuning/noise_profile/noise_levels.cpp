#include "noise_levels.h"

#include <stdexcept>
#include <string>

#include "../shared/errors.h"
#include "../shared/model.h"
#include "../shared/raw_capture.h"

namespace tuning::noise {

double level_at(const std::vector<double>& levels, int cell, const char* name) {
  if (cell < 0 || static_cast<std::size_t>(cell) >= levels.size())
    throw std::out_of_range(std::string(name) + " holds " + std::to_string(levels.size()) + " entries, expected " +
                            std::to_string(kCellPositions) + " (one per cell position)");
  return levels[static_cast<std::size_t>(cell)];
}

double scale_256(const std::vector<double>& black_level, const std::vector<double>& white_level, int cell) {
  const double black = level_at(black_level, cell, "black_level");
  const double span = level_at(white_level, cell, "white_level") - black;
  if (span == 0.0)
    throw DivisionByZero("white_level equals black_level (" + float_repr(black) + ") for cell position " +
                         std::to_string(cell) + ": the 256-scale needs a nonzero range");
  return 256.0 / span;
}

}  // namespace tuning::noise
