#include "validate.h"

#include <cmath>
#include <sstream>

namespace tonewright {

namespace {

constexpr int kMaxFrameSide = 65534;  // sizes travel as 16-bit values inside the model
constexpr int kMeshMinRows = 13;
constexpr int kMeshMinCols = 17;
constexpr uint32_t kMaxSegShift = 31;

template <typename... Parts>
std::string text(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

std::string check_side(const char* name, int32_t v) {
  if (v < 2 || v > kMaxFrameSide || v % 2 != 0)
    return text(name, ": expected an even value from 2 to ", kMaxFrameSide, ", found ", v);
  return {};
}

std::string check_lut(const char* name, const LutDescriptor& d, uint32_t table_size) {
  if (!d.knots || !d.seg_end || !d.seg_shift)
    return text(name, ": expected knots, seg_end and seg_shift arrays, found a null pointer");
  if (d.knot_count < 1) return text(name, " knot_count: expected at least 1, found 0");
  const uint32_t len = d.table_len();
  if (len > table_size) return text(name, " table length seg_end[2]: expected at most ", table_size, ", found ", len);
  // Every segment up to the one that ends the table has its knot spacing
  // computed, even one that covers no position: all of them are checked.
  for (int i = 0; i < d.seg_count; ++i) {
    if (d.seg_shift[i] > kMaxSegShift)
      return text(name, " seg_shift[", i, "]: expected at most ", kMaxSegShift, ", found ", d.seg_shift[i]);
    if (d.seg_end[i] >= len) break;
  }
  return {};
}

std::string first_error(std::initializer_list<std::string> checks) {
  for (const auto& c : checks)
    if (!c.empty()) return c;
  return {};
}

std::string check_local_mode(const TmoParams& p, const Geometry& g) {
  if (std::string e = check_lut("lut2", p.lut2, kOutputLutSize); !e.empty()) return e;
  if (p.out_max > int32_t(kOutputLutSize) - 1)
    return text("out_max: expected at most ", kOutputLutSize - 1,
                " in local mode (curve outputs index the 2^14-entry LUT 2), found ", p.out_max);
  if (!(p.log_offset >= 0) || !std::isfinite(p.log_offset))
    return text("log_offset: expected a finite value >= 0 in local mode, found ", p.log_offset);
  if (!(p.global_blend >= 0 && p.global_blend <= 1))
    return text("global_blend: expected a value from 0 to 1, found ", p.global_blend);
  if (g.block_rows < 1 || g.block_cols < 1)
    return text("frame ", p.width, " x ", p.height, ": expected more than one block (", g.block,
                ") per side in local mode, found ", g.block_cols, " x ", g.block_rows, " block windows");
  const int32_t top = top_bin(g.log_offset_fixed);
  if (top < 0)
    return text("log_floor: expected a full-scale log bin >= 0, found bin ", top, " for log_floor ", p.log_floor);
  if (top >= p.bins) return text("bins: expected more than the full-scale log bin ", top, ", found ", p.bins);
  return {};
}

}  // namespace

std::string check_params(const TmoParams& p, const Geometry& g) {
  if (!p.image) return "image: expected a frame, found a null pointer";
  if (std::string e = first_error({check_side("height", p.height), check_side("width", p.width)}); !e.empty()) return e;
  if (p.cfa_pattern > 3) return text("cfa_pattern: expected 0 to 3, found ", p.cfa_pattern);
  if (!p.mesh_off) {
    if (!p.mesh_values) return "mesh_values: expected 884 mesh gains (mesh_off is 0), found a null pointer";
    if (p.mesh_rows < kMeshMinRows || p.mesh_cols < kMeshMinCols)
      return text("mesh size: expected at least ", kMeshMinRows, " x ", kMeshMinCols, ", found ", p.mesh_rows, " x ",
                  p.mesh_cols);
  }
  if (p.out_max < 0 || g.unity_shift < 0)
    return text("out_max: expected at least 63 (6 output bits for the linear rescale), found ", p.out_max);
  if (std::string e = check_lut("lut1", p.lut1, kWideLutSize); !e.empty()) return e;
  if (p.global_lut_mode) return check_lut("lut3", p.lut3, kWideLutSize);
  return check_local_mode(p, g);
}

std::string check_log_range(int64_t largest_log, int bins) {
  const int64_t largest_bin = largest_log >> LogBinQ8::frac_bits;
  if (largest_bin >= bins)
    return text("bins: expected more than the largest log bin in the frame, ", largest_bin, ", found ", bins);
  return {};
}

}  // namespace tonewright
