// Per-cell black and white levels and the 256-scale shared by both noise
// models: the range from a cell's black level to its white level spans 256 units.
#pragma once

#include <vector>

namespace tuning::noise {

// levels[cell]; std::out_of_range naming the list when it is too short.
double level_at(const std::vector<double>& levels, int cell, const char* name);

// 256 / (white_level[cell] - black_level[cell]); DivisionByZero naming the cell
// and the level when the two are equal.
double scale_256(const std::vector<double>& black_level, const std::vector<double>& white_level, int cell);

}  // namespace tuning::noise
