// Seeded random parameter driver: valid cases with a few parameters pushed
// to extreme or invalid values. Whatever the input, a call either succeeds
// with every output pixel in 0 .. out_max, or is rejected with the frame
// untouched. Built with the sanitizers it also catches any out-of-bounds
// access or undefined arithmetic on the way.
//   usage: tonewright_params_fuzz [--seconds N] [--seed S]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "case_builder.h"
#include "tonewright.h"

using namespace tonewright_cases;

namespace {

uint64_t mix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int32_t extreme_int(uint64_t& s) {
  const int32_t options[] = {0,
                             1,
                             -1,
                             2,
                             63,
                             64,
                             16383,
                             16384,
                             65535,
                             65536,
                             1 << 20,
                             1 << 22,
                             std::numeric_limits<int32_t>::max(),
                             std::numeric_limits<int32_t>::min()};
  return mix(s) % 2 ? options[mix(s) % (sizeof options / sizeof options[0])] : int32_t(uint32_t(mix(s)));
}

double extreme_double(uint64_t& s) {
  const double options[] = {
      0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, 1e300, -1e300, std::numeric_limits<double>::infinity(), std::nan("")};
  return options[mix(s) % (sizeof options / sizeof options[0])];
}

// Pushes one or a few parameters of `a` off their usual range.
void spoil(ExportArgs& a, uint64_t& s) {
  const int count = 1 + int(mix(s) % 3);
  for (int n = 0; n < count; ++n) {
    switch (mix(s) % 24) {
      case 0:
        a.block_size_code = extreme_int(s);
        break;
      case 1:
        a.cfa_pattern = extreme_int(s);
        break;
      case 2:
        a.mesh_off = 0;
        a.mesh_values.assign(884, extreme_int(s));
        a.mesh_rows = extreme_int(s) % 40;
        a.mesh_cols = extreme_int(s) % 40;
        break;
      case 3:
        a.mesh_step_x = extreme_int(s);
        a.mesh_start_y = extreme_int(s);
        break;
      case 4:
        a.bins = extreme_int(s);
        break;
      case 5:
        a.tm_strength = extreme_int(s);
        break;
      case 6:
        a.log_floor = extreme_int(s) % 200;
        break;
      case 7:
        a.out_max = extreme_int(s);
        break;
      case 8:
        a.wb_gain[mix(s) % 3] = extreme_int(s);
        break;
      case 9:
        a.ccm[mix(s) % 9] = extreme_int(s);
        break;
      case 10:
        a.luma_w[mix(s) % 4] = extreme_int(s);
        break;
      case 11:
        a.noise_bits = extreme_int(s);
        a.noise_on = 1;
        break;
      case 12:
        a.noise_shift = extreme_int(s);
        a.noise_signed = extreme_int(s);
        break;
      case 13:
        a.noise_width[mix(s) % 2] = extreme_int(s);
        break;
      case 14:
        a.lut1.knots[mix(s) % a.lut1.knots.size()] = extreme_int(s);
        break;
      case 15:
        a.lut1.seg_shift[mix(s) % a.lut1.seg_shift.size()] = uint32_t(mix(s) % 64);
        break;
      case 16:
        a.lut1.seg_end[mix(s) % a.lut1.seg_end.size()] = uint32_t(extreme_int(s));
        break;
      case 17:
        a.lut1.knot_count = int32_t(mix(s) % (a.lut1.knots.size() + 1));
        break;
      case 18:
        a.hist_power = extreme_int(s);
        break;
      case 19:
        a.clip_limit = extreme_double(s);
        break;
      case 20:
        a.fixed_curve_gain = extreme_double(s);
        a.fixed_curve = 1;
        break;
      case 21:
        a.global_blend = extreme_double(s);
        break;
      case 22:
        a.log_offset = extreme_double(s);
        break;
      default:
        for (size_t i = 0; i < a.image.size(); i += 1 + mix(s) % 50) a.image[i] = extreme_int(s);
        break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  uint64_t seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--seconds"))
      seconds = std::atof(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--seed"))
      seed = std::strtoull(argv[i + 1], nullptr, 10);
  }
  const auto start = std::chrono::steady_clock::now();
  uint64_t s = seed;
  long calls = 0, accepted = 0;
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds) {
    CaseShape shape;
    shape.height = 2 * (1 + int(mix(s) % 90));
    shape.width = 2 * (1 + int(mix(s) % 120));
    shape.block_size_code = int32_t(mix(s) % 2);
    shape.global_lut_mode = mix(s) % 3 == 0;
    shape.wild_frame = mix(s) % 2;
    const uint64_t case_seed = mix(s);
    ExportArgs a = random_case(case_seed, shape);
    if (mix(s) % 4 != 0) spoil(a, s);
    const std::vector<int32_t> before = a.image;
    call_tmo(a);
    ++calls;
    char message[512];
    const int status = tmo_v3_bayer_status(message, sizeof message);
    if (status == TMO_STATUS_OK) {
      ++accepted;
      for (size_t i = 0; i < a.image.size(); ++i) {
        if (a.image[i] < 0 || a.image[i] > a.out_max) {
          std::printf("FAIL case seed %llu: pixel %zu = %d outside 0..%d\n", (unsigned long long)case_seed, i,
                      a.image[i], a.out_max);
          return 1;
        }
      }
    } else if (a.image != before) {
      std::printf("FAIL case seed %llu: rejected (%s) but the frame changed\n", (unsigned long long)case_seed, message);
      return 1;
    } else if (status != TMO_STATUS_INVALID_INPUT && status != TMO_STATUS_OUT_OF_MEMORY) {
      std::printf("FAIL case seed %llu: status %d (%s)\n", (unsigned long long)case_seed, status, message);
      return 1;
    }
  }
  std::printf("%ld calls, %ld accepted, %ld rejected, no fault\n", calls, accepted, calls - accepted);
  return 0;
}
