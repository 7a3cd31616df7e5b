// The call's parameters after decoding the 68 stack slots: 16-bit slots
// reduced to their low 16 bits, flags to booleans.
#pragma once

#include <cstdint>
#include <string>

namespace tonewright {

// Segmented lookup table as the hardware stores it: knots spaced more widely
// as the input grows. seg_end[2] doubles as the table length limit.
struct LutDescriptor {
  const int32_t* knots = nullptr;
  const uint32_t* seg_end = nullptr;
  const uint32_t* seg_shift = nullptr;
  uint16_t seg_count = 0;
  uint16_t knot_count = 0;

  uint32_t table_len() const { return seg_end[2]; }
};

struct DitherParams {
  bool on = false;
  uint16_t bits = 0;
  uint16_t shift = 0;  // only the low 5 bits are used
  bool is_signed = false;
  uint16_t taps[2] = {0, 0};
  uint16_t widths[2] = {0, 0};
  uint16_t seeds[2] = {0, 0};
};

struct TmoParams {
  int32_t* image = nullptr;
  int32_t height = 0;
  int32_t width = 0;
  int32_t block_size_code = 0;
  uint16_t cfa_pattern = 0;
  int32_t mesh_rows = 0;
  int32_t mesh_cols = 0;
  int32_t mesh_step_x = 0;
  int32_t mesh_step_y = 0;
  int32_t mesh_start_x = 0;
  int32_t mesh_start_y = 0;
  bool mesh_off = true;
  const int32_t* mesh_values = nullptr;  // 4 planes of 13 x 17 gains
  bool global_lut_mode = false;
  uint16_t bins = 0;
  uint16_t tm_strength = 16;  // sixteenths of the tone gain
  int32_t log_floor = 0;      // tenths of a decade
  int32_t out_max = 16383;
  bool use_corrected_input = false;
  int32_t wb_gain[3] = {4096, 4096, 4096};  // R, G, B; 12 fractional bits
  int32_t ccm[9] = {4096, 0, 0, 0, 4096, 0, 0, 0, 4096};
  int32_t luma_w[4] = {0, 0, 0, 0};  // R, G, B, max; 16 fractional bits
  DitherParams dither;
  LutDescriptor lut1, lut2, lut3;
  uint16_t hist_power = 0;
  double clip_limit = 0.0;
  bool fixed_curve = false;
  double fixed_curve_gain = 1.0;
  double global_blend = 1.0;
  double log_offset = 0.0;
};

enum class Outcome { no_call = 0, ok = 1, invalid_input = 2, out_of_memory = 3, internal_error = 4 };

struct Status {
  Outcome outcome = Outcome::ok;
  std::string message = "ok";
};

// Runs the whole model on p.image; on any outcome but ok the frame is left
// untouched. Never throws except for allocation failures.
Status run_tone_mapping(const TmoParams& p);

}  // namespace tonewright
