// Shared helpers of the tonewright tests: seeded cases as the internal
// parameter block, and the export's status as a pair.
#pragma once

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "case_builder.h"
#include "params.h"
#include "reference_pipeline.h"
#include "tonewright.h"

namespace test_support {

using tonewright_cases::ExportArgs;

inline tonewright::LutDescriptor as_descriptor(const tonewright_cases::LutArrays& l) {
  tonewright::LutDescriptor d;
  d.knots = l.knots.empty() ? nullptr : l.knots.data();
  d.seg_end = l.seg_end.empty() ? nullptr : l.seg_end.data();
  d.seg_shift = l.seg_shift.empty() ? nullptr : l.seg_shift.data();
  d.seg_count = uint16_t(l.seg_count);
  d.knot_count = uint16_t(l.knot_count);
  return d;
}

// The parameter block the export decodes from `a` (16-bit slots narrowed).
inline tonewright::TmoParams as_params(ExportArgs& a) {
  tonewright::TmoParams p;
  p.image = a.image.data();
  p.height = a.height;
  p.width = a.width;
  p.block_size_code = a.block_size_code;
  p.cfa_pattern = uint16_t(a.cfa_pattern);
  p.mesh_rows = a.mesh_rows;
  p.mesh_cols = a.mesh_cols;
  p.mesh_step_x = a.mesh_step_x;
  p.mesh_step_y = a.mesh_step_y;
  p.mesh_start_x = a.mesh_start_x;
  p.mesh_start_y = a.mesh_start_y;
  p.mesh_off = uint16_t(a.mesh_off) != 0;
  p.mesh_values = a.mesh_values.empty() ? nullptr : a.mesh_values.data();
  p.global_lut_mode = uint16_t(a.global_lut_mode) != 0;
  p.bins = uint16_t(a.bins);
  p.tm_strength = uint16_t(a.tm_strength);
  p.log_floor = a.log_floor;
  p.out_max = a.out_max;
  p.use_corrected_input = uint16_t(a.use_corrected_input) != 0;
  for (int k = 0; k < 3; ++k) p.wb_gain[k] = a.wb_gain[k];
  for (int k = 0; k < 9; ++k) p.ccm[k] = a.ccm[k];
  for (int k = 0; k < 4; ++k) p.luma_w[k] = a.luma_w[k];
  p.dither.on = uint16_t(a.noise_on) != 0;
  p.dither.bits = uint16_t(a.noise_bits);
  p.dither.shift = uint16_t(a.noise_shift);
  p.dither.is_signed = uint16_t(a.noise_signed) != 0;
  for (int r = 0; r < 2; ++r) {
    p.dither.taps[r] = uint16_t(a.noise_taps[r]);
    p.dither.widths[r] = uint16_t(a.noise_width[r]);
    p.dither.seeds[r] = uint16_t(a.noise_seed[r]);
  }
  p.lut1 = as_descriptor(a.lut1);
  p.lut2 = as_descriptor(a.lut2);
  p.lut3 = as_descriptor(a.lut3);
  p.hist_power = uint16_t(a.hist_power);
  p.clip_limit = a.clip_limit;
  p.fixed_curve = (a.fixed_curve & 0xFF) != 0;
  p.fixed_curve_gain = a.fixed_curve_gain;
  p.global_blend = a.global_blend;
  p.log_offset = a.log_offset;
  return p;
}

inline std::pair<int, std::string> last_status() {
  char message[512];
  const int code = tmo_v3_bayer_status(message, sizeof message);
  return {code, message};
}

// A small, valid local-mode call on a flat-ish frame.
inline ExportArgs small_case(uint64_t seed = 1, int height = 132, int width = 196, bool global = false) {
  tonewright_cases::CaseShape shape;
  shape.height = height;
  shape.width = width;
  shape.global_lut_mode = global;
  return tonewright_cases::random_case(seed, shape);
}

// The frame a call left in `a` against the reference's output.
inline void expect_frame_matches(const ExportArgs& a, const reference::Planes& expected, const std::string& label) {
  size_t mismatches = 0, first = 0;
  for (size_t i = 0; i < a.image.size(); ++i)
    if (a.image[i] != expected.out[i] && mismatches++ == 0) first = i;
  EXPECT_EQ(mismatches, 0u) << label << ": first difference at row " << first / a.width << " column " << first % a.width
                            << ": reference " << expected.out[first] << ", library " << a.image[first];
}

// Runs the export on `a` and the reference on a copy of the same inputs.
inline void expect_matches_reference(ExportArgs a, const std::string& label) {
  ExportArgs for_reference = a;
  const reference::Planes expected = reference::tone_map(as_params(for_reference));
  tonewright_cases::call_tmo(a);
  const auto status = last_status();
  ASSERT_EQ(status.first, TMO_STATUS_OK) << label << ": " << status.second;
  expect_frame_matches(a, expected, label);
}

}  // namespace test_support
