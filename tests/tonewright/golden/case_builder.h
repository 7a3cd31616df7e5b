// Seeded parameter sets and frames for the export, built with integer
// arithmetic only so every platform rebuilds exactly the same inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tonewright_cases {

struct LutArrays {
  std::vector<int32_t> knots;
  std::vector<uint32_t> seg_end;
  std::vector<uint32_t> seg_shift;
  int32_t seg_count = 0;
  int32_t knot_count = 0;
};

// Every argument of tmo_v3_bayer, with the arrays it points to.
struct ExportArgs {
  std::vector<int32_t> image;
  int32_t height = 0, width = 0, block_size_code = 0, cfa_pattern = 0;
  int32_t mesh_rows = 13, mesh_cols = 17, mesh_step_x = 0, mesh_step_y = 0;
  int32_t mesh_start_x = 0, mesh_start_y = 0, reserved_11 = 0, reserved_12 = 0;
  int32_t mesh_off = 1;
  std::vector<int32_t> mesh_values;  // empty: a null pointer is passed
  int32_t global_lut_mode = 0, bins = 0, tm_strength = 16, log_floor = 0, out_max = 16383;
  int32_t use_corrected_input = 0;
  int32_t wb_gain[3] = {4096, 4096, 4096};
  int32_t ccm[9] = {4096, 0, 0, 0, 4096, 0, 0, 0, 4096};
  int32_t luma_w[4] = {256, 512, 128, 128};
  int32_t noise_bits = 0, noise_shift = 0, noise_signed = 0, noise_on = 0;
  int32_t noise_taps[2] = {0, 0}, noise_width[2] = {16, 16}, noise_seed[2] = {1, 1};
  LutArrays lut1, lut2, lut3;  // a LUT with empty arrays is passed as null pointers
  int32_t hist_power = 0;
  double clip_limit = 4.0;
  int32_t fixed_curve = 0;
  double fixed_curve_gain = 1.0, global_blend = 0.5, log_offset = 0.0;
};

struct CaseShape {
  int height = 0, width = 0;
  int32_t block_size_code = 0;
  bool global_lut_mode = false;
  bool wild_frame = false;  // pixels outside the 20-bit range
};

// Deterministic: the same seed and shape give the same arguments everywhere.
ExportArgs random_case(uint64_t seed, const CaseShape& shape);

// LUT descriptors on common layouts, knots from integer curves.
LutArrays identity_wide_lut();                                      // 2^22 entries mapped to themselves
LutArrays output_lut(int32_t out_max, uint64_t seed);               // 2^14 entries, bowed
LutArrays luminance_to_output_lut(int32_t out_max, uint64_t seed);  // 2^22 -> 0..out_max

void call_tmo(ExportArgs& a);

struct GoldenCase {
  const char* name;
  uint64_t seed;
  CaseShape shape;
};
extern const GoldenCase kGoldenCases[];
extern const int kGoldenCaseCount;

std::string golden_file_name(const GoldenCase& c);
// Builds the case and runs it through the export; false with the status text
// when the call was rejected.
bool run_golden_case(const GoldenCase& c, ExportArgs& args, std::string& error);
// Output frames are stored as little-endian 16-bit values.
bool write_golden(const std::string& path, const std::vector<int32_t>& frame);
bool read_golden(const std::string& path, size_t count, std::vector<int32_t>& frame, std::string& error);

}  // namespace tonewright_cases
