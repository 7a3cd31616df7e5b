/* A stand-in for the tone-mapping library, built only for the tests: the same
 * two exports (the header makes the compiler hold it to the same signature),
 * but each call only records its arguments. Slot k of the call lands in
 * shim_slots[k] (an int) or shim_doubles[k] (a double); a pointer slot records
 * 1 when it is set, and the arrays behind it are copied as far as their
 * companion counts say. The frame is rewritten as value / 2 + 7, so a caller
 * can tell its own copy from the returned one.
 */
#include <stdint.h>
#include <string.h>

#include "tonewright.h"

#define SLOTS 68
#define MAX_KNOTS 65535
#define MESH_GAINS 884

TONEWRIGHT_API int64_t shim_slots[SLOTS];
TONEWRIGHT_API double shim_doubles[SLOTS];
TONEWRIGHT_API int32_t shim_mesh[MESH_GAINS];
TONEWRIGHT_API int32_t shim_knots[3][MAX_KNOTS];
TONEWRIGHT_API uint32_t shim_seg_end[3][MAX_KNOTS];
TONEWRIGHT_API uint32_t shim_seg_shift[3][MAX_KNOTS];
TONEWRIGHT_API int32_t shim_calls;

static void copy_lut(int which, const int32_t* knots, const uint32_t* seg_end, const uint32_t* seg_shift,
                     int32_t seg_count, int32_t knot_count) {
  if (knots && knot_count > 0 && knot_count <= MAX_KNOTS) memcpy(shim_knots[which], knots, 4u * knot_count);
  if (seg_shift && seg_count > 0 && seg_count <= MAX_KNOTS) memcpy(shim_seg_shift[which], seg_shift, 4u * seg_count);
  int32_t ends = seg_count > 3 ? seg_count : 3;
  if (seg_end && ends <= MAX_KNOTS) memcpy(shim_seg_end[which], seg_end, 4u * ends);
}

TONEWRIGHT_API void TONEWRIGHT_CALL tmo_v3_bayer(
    int32_t* image, int32_t height, int32_t width, int32_t block_size_code, int32_t cfa_pattern, int32_t mesh_rows,
    int32_t mesh_cols, int32_t mesh_step_x, int32_t mesh_step_y, int32_t mesh_start_x, int32_t mesh_start_y,
    int32_t reserved_11, int32_t reserved_12, int32_t mesh_off, const int32_t* mesh_values, int32_t global_lut_mode,
    int32_t bins, int32_t tm_strength, int32_t log_floor, int32_t out_max, int32_t use_corrected_input,
    int32_t wb_gain_r, int32_t wb_gain_g, int32_t wb_gain_b, int32_t ccm_0, int32_t ccm_1, int32_t ccm_2, int32_t ccm_3,
    int32_t ccm_4, int32_t ccm_5, int32_t ccm_6, int32_t ccm_7, int32_t ccm_8, int32_t luma_w_r, int32_t luma_w_g,
    int32_t luma_w_b, int32_t luma_w_max, int32_t noise_bits, int32_t noise_shift, int32_t noise_signed,
    int32_t noise_on, int32_t noise_taps_0, int32_t noise_taps_1, int32_t noise_width_0, int32_t noise_width_1,
    int32_t noise_seed_0, int32_t noise_seed_1, const int32_t* lut1_knots, const uint32_t* lut1_seg_end,
    const uint32_t* lut1_seg_shift, int32_t lut1_seg_count, int32_t lut1_knot_count, const int32_t* lut2_knots,
    const uint32_t* lut2_seg_end, const uint32_t* lut2_seg_shift, int32_t lut2_seg_count, int32_t lut2_knot_count,
    const int32_t* lut3_knots, const uint32_t* lut3_seg_end, const uint32_t* lut3_seg_shift, int32_t lut3_seg_count,
    int32_t lut3_knot_count, int32_t hist_power, double clip_limit, int32_t fixed_curve, double fixed_curve_gain,
    double global_blend, double log_offset) {
  const int64_t ints[] = {image != 0,
                          height,
                          width,
                          block_size_code,
                          cfa_pattern,
                          mesh_rows,
                          mesh_cols,
                          mesh_step_x,
                          mesh_step_y,
                          mesh_start_x,
                          mesh_start_y,
                          reserved_11,
                          reserved_12,
                          mesh_off,
                          mesh_values != 0,
                          global_lut_mode,
                          bins,
                          tm_strength,
                          log_floor,
                          out_max,
                          use_corrected_input,
                          wb_gain_r,
                          wb_gain_g,
                          wb_gain_b,
                          ccm_0,
                          ccm_1,
                          ccm_2,
                          ccm_3,
                          ccm_4,
                          ccm_5,
                          ccm_6,
                          ccm_7,
                          ccm_8,
                          luma_w_r,
                          luma_w_g,
                          luma_w_b,
                          luma_w_max,
                          noise_bits,
                          noise_shift,
                          noise_signed,
                          noise_on,
                          noise_taps_0,
                          noise_taps_1,
                          noise_width_0,
                          noise_width_1,
                          noise_seed_0,
                          noise_seed_1,
                          lut1_knots != 0,
                          lut1_seg_end != 0,
                          lut1_seg_shift != 0,
                          lut1_seg_count,
                          lut1_knot_count,
                          lut2_knots != 0,
                          lut2_seg_end != 0,
                          lut2_seg_shift != 0,
                          lut2_seg_count,
                          lut2_knot_count,
                          lut3_knots != 0,
                          lut3_seg_end != 0,
                          lut3_seg_shift != 0,
                          lut3_seg_count,
                          lut3_knot_count,
                          hist_power};
  memset(shim_slots, 0, sizeof shim_slots);
  memset(shim_doubles, 0, sizeof shim_doubles);
  memcpy(shim_slots, ints, sizeof ints);
  shim_doubles[63] = clip_limit;
  shim_slots[64] = fixed_curve;
  shim_doubles[65] = fixed_curve_gain;
  shim_doubles[66] = global_blend;
  shim_doubles[67] = log_offset;
  if (mesh_values) memcpy(shim_mesh, mesh_values, sizeof shim_mesh);
  copy_lut(0, lut1_knots, lut1_seg_end, lut1_seg_shift, lut1_seg_count, lut1_knot_count);
  copy_lut(1, lut2_knots, lut2_seg_end, lut2_seg_shift, lut2_seg_count, lut2_knot_count);
  copy_lut(2, lut3_knots, lut3_seg_end, lut3_seg_shift, lut3_seg_count, lut3_knot_count);
  for (int64_t i = 0; image && i < (int64_t)height * width; ++i) image[i] = image[i] / 2 + 7;
  ++shim_calls;
}

TONEWRIGHT_API int32_t TONEWRIGHT_CALL tmo_v3_bayer_status(char* message, int32_t capacity) {
  if (message && capacity > 0) {
    strncpy(message, shim_calls ? "ok" : "no call", (size_t)capacity - 1);
    message[capacity - 1] = 0;
  }
  return shim_calls ? TMO_STATUS_OK : TMO_STATUS_NO_CALL;
}
