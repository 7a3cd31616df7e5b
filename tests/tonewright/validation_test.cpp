// Inputs the model cannot handle leave the frame as it was and say why.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "test_support.h"

using namespace test_support;

namespace {

struct BadInput {
  const char* label;
  bool global;
  std::function<void(ExportArgs&)> spoil;
  const char* reason;  // part of the status text
};

const BadInput kBadInputs[] = {
    {"odd height", false, [](ExportArgs& a) { a.height = 131; }, "height: expected an even value"},
    {"zero width", false, [](ExportArgs& a) { a.width = 0; }, "width: expected an even value from 2 to 65534, found 0"},
    {"huge height", true, [](ExportArgs& a) { a.height = 70000; }, "height"},
    {"cfa pattern 4", false, [](ExportArgs& a) { a.cfa_pattern = 4; }, "cfa_pattern: expected 0 to 3, found 4"},
    {"mesh without values", false,
     [](ExportArgs& a) {
       a.mesh_off = 0;
       a.mesh_values.clear();
     },
     "mesh_values"},
    {"mesh too small", false,
     [](ExportArgs& a) {
       a.mesh_off = 0;
       a.mesh_values.assign(884, 4096);
       a.mesh_rows = 12;
     },
     "mesh size: expected at least 13 x 17, found 12 x"},
    {"negative log offset", false, [](ExportArgs& a) { a.log_offset = -0.5; }, "log_offset"},
    {"NaN log offset", false, [](ExportArgs& a) { a.log_offset = std::nan(""); }, "log_offset"},
    {"blend above 1", false, [](ExportArgs& a) { a.global_blend = 1.5; }, "global_blend: expected a value from 0 to 1"},
    {"NaN blend", false, [](ExportArgs& a) { a.global_blend = std::nan(""); }, "global_blend"},
    {"no block window", false,
     [](ExportArgs& a) {
       a.height = 64;
       a.image.resize(size_t(64) * a.width);
     },
     "block windows"},
    {"bins below full scale", false, [](ExportArgs& a) { a.bins = 60 + a.log_floor; },
     "bins: expected more than the full-scale log bin"},
    {"floor below bin 0", false, [](ExportArgs& a) { a.log_floor = -100; }, "log_floor"},
    {"bins below the frame's log range", false,
     [](ExportArgs& a) {
       // A large offset lifts every log value well above the full-scale bin.
       a.log_offset = 1e6;
       a.bins = 61 + a.log_floor;
     },
     "bins: expected more than the largest log bin in the frame"},
    {"out_max beyond LUT 2", false, [](ExportArgs& a) { a.out_max = 16384; }, "out_max: expected at most 16383"},
    {"out_max too small", true, [](ExportArgs& a) { a.out_max = 10; }, "out_max"},
    {"negative out_max", true, [](ExportArgs& a) { a.out_max = -5; }, "out_max"},
    {"lut1 without knots", false, [](ExportArgs& a) { a.lut1.knots.clear(); }, "lut1"},
    {"lut1 longer than its table", true, [](ExportArgs& a) { a.lut1.seg_end[2] = (1u << 22) + 1; },
     "lut1 table length seg_end[2]: expected at most 4194304, found 4194305"},
    {"lut2 longer than its table", false, [](ExportArgs& a) { a.lut2.seg_end[2] = 16385; }, "lut2 table length"},
    {"lut2 without knots", false, [](ExportArgs& a) { a.lut2.knot_count = 0; }, "lut2 knot_count"},
    {"knot spacing beyond 32 bits", false, [](ExportArgs& a) { a.lut1.seg_shift[1] = 40; }, "lut1 seg_shift[1]"},
    {"knot spacing beyond 64 bits in a segment that covers nothing", false,
     [](ExportArgs& a) {
       a.lut1.seg_end[1] = a.lut1.seg_end[0];
       a.lut1.seg_shift[1] = 70;
     },
     "lut1 seg_shift[1]: expected at most 31, found 70"},
    {"lut3 missing in global mode", true, [](ExportArgs& a) { a.lut3 = {}; }, "lut3"},
};

}  // namespace

TEST(Validation, RejectedInputsLeaveTheFrameUnchanged) {
  for (const BadInput& bad : kBadInputs) {
    ExportArgs a = small_case(21, 132, 196, bad.global);
    call_tmo(a);  // a valid call first: the status must change
    ASSERT_EQ(last_status().first, TMO_STATUS_OK) << bad.label << ": " << last_status().second;
    a = small_case(21, 132, 196, bad.global);
    bad.spoil(a);
    const std::vector<int32_t> before = a.image;
    call_tmo(a);
    const auto status = last_status();
    EXPECT_EQ(status.first, TMO_STATUS_INVALID_INPUT) << bad.label;
    EXPECT_NE(status.second.find(bad.reason), std::string::npos) << bad.label << ": " << status.second;
    EXPECT_EQ(a.image, before) << bad.label;
  }
}

TEST(Validation, NullFrameIsRejected) {
  ExportArgs a = small_case(2);
  a.image.clear();
  call_tmo(a);
  EXPECT_EQ(last_status(), std::make_pair(int(TMO_STATUS_INVALID_INPUT),
                                          std::string("image: expected a frame, found a null pointer")));
}

TEST(Validation, StatusTextIsCutToTheCallersBuffer) {
  ExportArgs a = small_case(2);
  a.cfa_pattern = 9;
  call_tmo(a);
  char small[6];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(tmo_v3_bayer_status(small, sizeof small), TMO_STATUS_INVALID_INPUT);
  EXPECT_STREQ(small, "cfa_p");
  EXPECT_EQ(tmo_v3_bayer_status(nullptr, 0), TMO_STATUS_INVALID_INPUT);
}

TEST(Validation, BoundaryValuesAreAccepted) {
  ExportArgs a = small_case(4);
  a.out_max = 63;
  a.global_blend = 0.0;
  a.log_offset = 0.0;
  call_tmo(a);
  EXPECT_EQ(last_status().first, TMO_STATUS_OK) << last_status().second;
  ExportArgs tiny = small_case(4, 2, 2, true);  // the smallest frame, one cell
  call_tmo(tiny);
  EXPECT_EQ(last_status().first, TMO_STATUS_OK) << last_status().second;
}
