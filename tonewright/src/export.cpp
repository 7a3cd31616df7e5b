// The C entry points: decode the 68 stack slots, run the model behind an
// exception barrier and keep the outcome for tmo_v3_bayer_status().
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "params.h"
#include "tonewright.h"

namespace {

constexpr uint32_t kLow16 = 0xFFFF;

uint16_t low16(int32_t v) { return uint16_t(uint32_t(v) & kLow16); }
bool flag(int32_t v) { return low16(v) != 0; }

tonewright::LutDescriptor descriptor(const int32_t* knots, const uint32_t* seg_end, const uint32_t* seg_shift,
                                     int32_t seg_count, int32_t knot_count) {
  tonewright::LutDescriptor d;
  d.knots = knots;
  d.seg_end = seg_end;
  d.seg_shift = seg_shift;
  d.seg_count = low16(seg_count);
  d.knot_count = low16(knot_count);
  return d;
}

// The outcome of the last call to finish. Calls from several threads at
// once each leave a whole outcome: the slot is read and written under a lock.
std::mutex g_last_guard;
int32_t g_last_code = TMO_STATUS_NO_CALL;
char g_last_message[512] = "no call yet";

void remember(int32_t code, const char* message) noexcept {
  std::lock_guard<std::mutex> lock(g_last_guard);
  g_last_code = code;
  std::strncpy(g_last_message, message, sizeof g_last_message - 1);
  g_last_message[sizeof g_last_message - 1] = '\0';
}

}  // namespace

extern "C" TONEWRIGHT_API void TONEWRIGHT_CALL tmo_v3_bayer(
    int32_t* image, int32_t height, int32_t width, int32_t block_size_code, int32_t cfa_pattern, int32_t mesh_rows,
    int32_t mesh_cols, int32_t mesh_step_x, int32_t mesh_step_y, int32_t mesh_start_x, int32_t mesh_start_y,
    int32_t /*reserved_11*/, int32_t /*reserved_12*/, int32_t mesh_off, const int32_t* mesh_values,
    int32_t global_lut_mode, int32_t bins, int32_t tm_strength, int32_t log_floor, int32_t out_max,
    int32_t use_corrected_input, int32_t wb_gain_r, int32_t wb_gain_g, int32_t wb_gain_b, int32_t ccm_0, int32_t ccm_1,
    int32_t ccm_2, int32_t ccm_3, int32_t ccm_4, int32_t ccm_5, int32_t ccm_6, int32_t ccm_7, int32_t ccm_8,
    int32_t luma_w_r, int32_t luma_w_g, int32_t luma_w_b, int32_t luma_w_max, int32_t noise_bits, int32_t noise_shift,
    int32_t noise_signed, int32_t noise_on, int32_t noise_taps_0, int32_t noise_taps_1, int32_t noise_width_0,
    int32_t noise_width_1, int32_t noise_seed_0, int32_t noise_seed_1, const int32_t* lut1_knots,
    const uint32_t* lut1_seg_end, const uint32_t* lut1_seg_shift, int32_t lut1_seg_count, int32_t lut1_knot_count,
    const int32_t* lut2_knots, const uint32_t* lut2_seg_end, const uint32_t* lut2_seg_shift, int32_t lut2_seg_count,
    int32_t lut2_knot_count, const int32_t* lut3_knots, const uint32_t* lut3_seg_end, const uint32_t* lut3_seg_shift,
    int32_t lut3_seg_count, int32_t lut3_knot_count, int32_t hist_power, double clip_limit, int32_t fixed_curve,
    double fixed_curve_gain, double global_blend, double log_offset) {
  try {
    tonewright::TmoParams p;
    p.image = image;
    p.height = height;
    p.width = width;
    p.block_size_code = block_size_code;
    p.cfa_pattern = low16(cfa_pattern);
    p.mesh_rows = mesh_rows;
    p.mesh_cols = mesh_cols;
    p.mesh_step_x = mesh_step_x;
    p.mesh_step_y = mesh_step_y;
    p.mesh_start_x = mesh_start_x;
    p.mesh_start_y = mesh_start_y;
    p.mesh_off = flag(mesh_off);
    p.mesh_values = mesh_values;
    p.global_lut_mode = flag(global_lut_mode);
    p.bins = low16(bins);
    p.tm_strength = low16(tm_strength);
    p.log_floor = log_floor;
    p.out_max = out_max;
    p.use_corrected_input = flag(use_corrected_input);
    const int32_t wb[3] = {wb_gain_r, wb_gain_g, wb_gain_b};
    std::memcpy(p.wb_gain, wb, sizeof wb);
    const int32_t ccm[9] = {ccm_0, ccm_1, ccm_2, ccm_3, ccm_4, ccm_5, ccm_6, ccm_7, ccm_8};
    std::memcpy(p.ccm, ccm, sizeof ccm);
    const int32_t lw[4] = {luma_w_r, luma_w_g, luma_w_b, luma_w_max};
    std::memcpy(p.luma_w, lw, sizeof lw);
    p.dither.bits = low16(noise_bits);
    p.dither.shift = low16(noise_shift);
    p.dither.is_signed = flag(noise_signed);
    p.dither.on = flag(noise_on);
    p.dither.taps[0] = low16(noise_taps_0);
    p.dither.taps[1] = low16(noise_taps_1);
    p.dither.widths[0] = low16(noise_width_0);
    p.dither.widths[1] = low16(noise_width_1);
    p.dither.seeds[0] = low16(noise_seed_0);
    p.dither.seeds[1] = low16(noise_seed_1);
    p.lut1 = descriptor(lut1_knots, lut1_seg_end, lut1_seg_shift, lut1_seg_count, lut1_knot_count);
    p.lut2 = descriptor(lut2_knots, lut2_seg_end, lut2_seg_shift, lut2_seg_count, lut2_knot_count);
    p.lut3 = descriptor(lut3_knots, lut3_seg_end, lut3_seg_shift, lut3_seg_count, lut3_knot_count);
    p.hist_power = low16(hist_power);
    p.clip_limit = clip_limit;
    p.fixed_curve = (uint32_t(fixed_curve) & 0xFF) != 0;
    p.fixed_curve_gain = fixed_curve_gain;
    p.global_blend = global_blend;
    p.log_offset = log_offset;
    const tonewright::Status s = tonewright::run_tone_mapping(p);
    remember(int32_t(s.outcome), s.message.c_str());
  } catch (const std::bad_alloc&) {
    remember(TMO_STATUS_OUT_OF_MEMORY, "out of memory: the working arrays could not be allocated");
  } catch (const std::exception& e) {
    remember(TMO_STATUS_INTERNAL_ERROR, e.what());
  } catch (...) {
    remember(TMO_STATUS_INTERNAL_ERROR, "unexpected failure");
  }
}

extern "C" TONEWRIGHT_API int32_t TONEWRIGHT_CALL tmo_v3_bayer_status(char* message, int32_t capacity) {
  std::lock_guard<std::mutex> lock(g_last_guard);
  if (message && capacity > 0) {
    std::strncpy(message, g_last_message, size_t(capacity) - 1);
    message[capacity - 1] = '\0';
  }
  return g_last_code;
}
