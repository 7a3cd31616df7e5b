/* tonewright: fixed-point local tone mapping of a Bayer frame.
 *
 * One call maps a frame of 20-bit linear values in place, using two threads.
 * The dither sequence starts afresh with every call, so equal inputs give
 * equal outputs. Between calls the library keeps the outcome that
 * tmo_v3_bayer_status() reports, its helper thread and some working memory
 * for the next call (at most 256 MiB, 64 MiB in a 32-bit process); none of
 * it changes a result. Calls from several threads may overlap; the status
 * then tells of the call that finished last.
 *
 * Every array argument is read only within the bounds its companion values
 * describe. Inputs the model cannot handle leave the frame unchanged; ask
 * tmo_v3_bayer_status() why.
 */
#ifndef TONEWRIGHT_H
#define TONEWRIGHT_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(TONEWRIGHT_BUILDING)
#define TONEWRIGHT_API __declspec(dllexport)
#else
#define TONEWRIGHT_API __declspec(dllimport)
#endif
#define TONEWRIGHT_CALL __cdecl
#else
#define TONEWRIGHT_API __attribute__((visibility("default")))
#define TONEWRIGHT_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Outcome codes of tmo_v3_bayer_status(). */
#define TMO_STATUS_NO_CALL 0        /* no call since the library was loaded */
#define TMO_STATUS_OK 1             /* the frame holds the tone-mapped result */
#define TMO_STATUS_INVALID_INPUT 2  /* rejected before writing: frame unchanged */
#define TMO_STATUS_OUT_OF_MEMORY 3  /* working arrays unavailable: frame unchanged */
#define TMO_STATUS_INTERNAL_ERROR 4 /* unexpected failure: frame unchanged */

/*
 * Parameters marked (16) use only the low 16 bits of the slot; flags are
 * 16-bit values tested against zero (fixed_curve: its low byte).
 *
 * A segmented LUT descriptor is five slots: knots (knot_count values),
 * seg_end and seg_shift (one entry per segment; seg_end needs at least 3
 * entries because seg_end[2] is the table length limit), seg_count (16) and
 * knot_count (16). Knot spacing of segment i is 1 << seg_shift[i]; gains,
 * white balance and colour matrix carry 12 fractional bits, luminance
 * weights 16.
 */
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
    double global_blend, double log_offset);

/*
 * Outcome of the last tmo_v3_bayer call: returns a TMO_STATUS_* code and,
 * when message is not null and capacity > 0, copies a NUL-terminated
 * explanation (truncated to capacity) naming the offending parameter, the
 * expected and the found value.
 */
TONEWRIGHT_API int32_t TONEWRIGHT_CALL tmo_v3_bayer_status(char* message, int32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* TONEWRIGHT_H */
