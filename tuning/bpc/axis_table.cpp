#include "axis_table.h"

#include <algorithm>
#include <cstdio>

#include "../shared/errors.h"

namespace tuning::bpc {

namespace {

constexpr int kHalfWordBits = 16;

void require_axis_value(std::int64_t value, const std::string& what) {
  if (value < 0 || value > kMaxAxisValue)
    throw AssertionFailure(what + " is " + std::to_string(value) + ", outside the packable range 0.." +
                           std::to_string(kMaxAxisValue));
}

std::string word_text(std::int64_t low, std::int64_t high) {
  const auto word = static_cast<std::uint32_t>((high << kHalfWordBits) | low);
  char buf[11];
  std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(word));
  return buf;
}

}  // namespace

std::vector<std::string> encode_axis_u32(std::vector<PixelPosition> bp_locations) {
  std::stable_sort(bp_locations.begin(), bp_locations.end(),
                   [](const PixelPosition& a, const PixelPosition& b) { return a.first < b.first; });
  std::vector<std::string> table;
  for (auto group = bp_locations.begin(); group != bp_locations.end();) {
    const std::int64_t row = group->first;
    const auto group_end =
        std::find_if(group, bp_locations.end(), [row](const PixelPosition& p) { return p.first != row; });
    const auto count = static_cast<std::int64_t>(group_end - group);
    const std::string first = "(" + std::to_string(row) + ", " + std::to_string(group->second) + ")";
    require_axis_value(count, "the number of bad pixels in row " + std::to_string(row));
    require_axis_value(row, "the row of bad pixel " + first);
    for (auto p = group; p != group_end; ++p)
      require_axis_value(p->second,
                         "the column of bad pixel (" + std::to_string(row) + ", " + std::to_string(p->second) + ")");
    table.push_back(word_text(count, row));
    for (std::int64_t k = 0; k < count; k += 2) {
      const std::int64_t second = k + 1 < count ? group[k + 1].second : 0;
      table.push_back(word_text(group[k].second, second));
    }
    group = group_end;
  }
  return table;
}

}  // namespace tuning::bpc
