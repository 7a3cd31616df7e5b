// The model computed the straightforward way: full tables, a full log table
// resampled in place, per-window histograms counted cell by cell, one dither
// draw per cell, per-pixel neighbour tests. Slow, and the yardstick the
// library's fast paths are held to.
#pragma once

#include <cstdint>
#include <vector>

#include "params.h"

namespace reference {

struct Planes {
  std::vector<uint32_t> luma;
  std::vector<int32_t> corrected;
  std::vector<int32_t> log_luma;
  std::vector<int32_t> curves, slopes;
  std::vector<uint64_t> gain_map;
  std::vector<int32_t> out;
};

// Runs the model on a copy of p.image; the caller has checked p.
Planes tone_map(const tonewright::TmoParams& p);

}  // namespace reference
