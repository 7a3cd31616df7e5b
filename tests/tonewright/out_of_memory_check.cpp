// Run under a small address-space limit (ulimit -v): the call cannot get its
// working arrays, must say so, and must leave the frame as it was.
//   usage: tonewright_out_of_memory_check
#include <cstdio>
#include <vector>

#include "case_builder.h"
#include "tonewright.h"

using namespace tonewright_cases;

int main() {
  CaseShape shape{2160, 3840, 1, false, false};
  ExportArgs a = random_case(5, shape);
  // Per-window histograms and curves of 60000 bins: some 440 MB of working
  // arrays, far beyond the limit, while the caller's own arrays fit well.
  a.bins = 60000;
  const std::vector<int32_t> before = a.image;
  call_tmo(a);
  char message[512];
  const int status = tmo_v3_bayer_status(message, sizeof message);
  if (status != TMO_STATUS_OUT_OF_MEMORY) {
    std::printf("FAIL: expected status %d (out of memory), found %d: %s\n", TMO_STATUS_OUT_OF_MEMORY, status, message);
    return 1;
  }
  if (a.image != before) {
    std::printf("FAIL: out of memory but the frame changed\n");
    return 1;
  }
  std::printf("ok: %s; frame unchanged\n", message);
  return 0;
}
