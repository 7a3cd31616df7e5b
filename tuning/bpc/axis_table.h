// The static bad pixel table read by the ISP's correction block: one block of
// 32-bit words per image row that holds bad pixels, rows ascending.
//
//   header word:  bits 16-31 row, bits 0-15 number of bad pixels in the row
//   column words: two columns per word, the first in bits 0-15, the second in
//                 bits 16-31; an odd count leaves the last upper half zero
//
// There is no table header, total count or end marker.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tuning::bpc {

// (row, column) in full-frame coordinates.
using PixelPosition = std::pair<std::int64_t, std::int64_t>;

// Largest row, column or per-row count a 16-bit half of a word holds.
inline constexpr std::int64_t kMaxAxisValue = 0xffff;

// The table as texts "0x" + eight lowercase hex digits, one per word. Rows are
// grouped after a stable sort by row, so the columns of a row keep their input
// order; duplicates are packed as given. A row, column or per-row count outside
// 0 .. kMaxAxisValue throws AssertionFailure naming it.
std::vector<std::string> encode_axis_u32(std::vector<PixelPosition> bp_locations);

}  // namespace tuning::bpc
