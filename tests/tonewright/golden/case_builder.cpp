#include "case_builder.h"

#include <cstdio>

#include "tonewright.h"

namespace tonewright_cases {

namespace {

// splitmix64: small, portable and the same on every compiler.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int32_t range(int32_t lo, int32_t hi) { return lo + int32_t(next() % uint64_t(int64_t(hi) - lo + 1)); }
  bool chance(int percent) { return int(next() % 100) < percent; }
  template <typename T, size_t N>
  T pick(const T (&options)[N]) {
    return options[next() % N];
  }

 private:
  uint64_t s_;
};

constexpr uint32_t kWide = 1u << 22;
constexpr uint32_t kOut = 1u << 14;

// Knots at every segment base plus one beyond the last, for the last slope.
LutArrays layout_lut(const std::vector<uint32_t>& seg_end, const std::vector<uint32_t>& seg_shift,
                     int64_t (*curve)(int64_t pos, int64_t param), int64_t param, Rng* jitter, int jitter_amp) {
  LutArrays lut;
  lut.seg_end = seg_end;
  lut.seg_shift = seg_shift;
  lut.seg_count = int32_t(seg_end.size());
  uint32_t start = 0;
  for (size_t i = 0; i < seg_end.size(); ++i) {
    for (uint64_t pos = start; pos < seg_end[i]; pos += uint64_t(1) << seg_shift[i]) {
      int64_t v = curve(int64_t(pos), param);
      if (jitter && jitter_amp > 0) v += jitter->range(-jitter_amp, jitter_amp);
      lut.knots.push_back(int32_t(v < 0 ? 0 : v));
    }
    start = seg_end[i];
  }
  lut.knots.push_back(int32_t(curve(int64_t(start), param)));
  lut.knot_count = int32_t(lut.knots.size());
  while (lut.seg_end.size() < 3) lut.seg_end.push_back(start);  // seg_end[2] is always read
  return lut;
}

int64_t identity_curve(int64_t pos, int64_t) { return pos; }

// A bowed curve above the identity: pos + bow/8 * pos * (size - pos) / size / 2.
int64_t bowed_wide(int64_t pos, int64_t bow) { return pos + ((pos * (int64_t(kWide) - pos)) >> 23) * bow / 8; }
int64_t bowed_output(int64_t pos, int64_t bow) { return pos + ((pos * (int64_t(kOut) - pos)) >> 15) * bow / 8; }

int64_t isqrt(int64_t v) {
  int64_t r = 0;
  for (int64_t bit = int64_t(1) << 30; bit; bit >>= 1)
    if ((r + bit) * (r + bit) <= v) r += bit;
  return r;
}
// A square-root tone curve from 22-bit luminance to 0 .. out_max.
int64_t sqrt_to_output(int64_t pos, int64_t out_max) { return isqrt(pos) * out_max / 2048; }

const std::vector<uint32_t> kWideEnds = {16, 8192, kWide};
const std::vector<uint32_t> kWideShifts = {0, 4, 14};
const std::vector<uint32_t> kOutEnds = {16, 1024, kOut};
const std::vector<uint32_t> kOutShifts = {0, 3, 6};

std::vector<int32_t> frame(Rng& rng, int height, int width, bool wild) {
  std::vector<int32_t> img(size_t(height) * width);
  constexpr int kTile = 8;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      // Tiles a few decades apart, so the log histograms spread out.
      const uint32_t h = uint32_t((x / kTile) * 2654435761u ^ (y / kTile) * 40503u);
      const int level = int((h >> 7) % 20);
      int64_t v = (int64_t(1) << level) + int64_t(rng.next() % (uint64_t(1) << level));
      if (v > (1 << 20) - 1) v = (1 << 20) - 1;
      img[size_t(y) * width + x] = int32_t(v);
    }
  }
  if (wild) {
    for (size_t i = 0; i < img.size(); i += 1 + rng.next() % 97)
      img[i] = rng.chance(50) ? int32_t(uint32_t(rng.next())) : rng.range(1 << 20, 1 << 24);
  }
  return img;
}

}  // namespace

LutArrays identity_wide_lut() { return layout_lut(kWideEnds, kWideShifts, identity_curve, 0, nullptr, 0); }

LutArrays output_lut(int32_t, uint64_t seed) {
  Rng rng(seed);
  const int64_t bow = rng.range(0, 8);
  return layout_lut(kOutEnds, kOutShifts, bowed_output, bow, &rng, 3);
}

LutArrays luminance_to_output_lut(int32_t out_max, uint64_t seed) {
  Rng rng(seed);
  return layout_lut(kWideEnds, kWideShifts, sqrt_to_output, out_max, &rng, 2);
}

ExportArgs random_case(uint64_t seed, const CaseShape& shape) {
  Rng rng(seed);
  ExportArgs a;
  a.height = shape.height;
  a.width = shape.width;
  a.block_size_code = shape.block_size_code;
  a.global_lut_mode = shape.global_lut_mode ? 1 : 0;
  a.image = frame(rng, a.height, a.width, shape.wild_frame);
  a.cfa_pattern = rng.range(0, 3);

  a.mesh_off = rng.chance(30) ? 1 : 0;
  if (!a.mesh_off) {
    a.mesh_rows = rng.chance(20) ? 15 : 13;
    a.mesh_cols = rng.chance(20) ? 20 : 17;
    a.mesh_values.resize(4 * 13 * 17);
    for (auto& m : a.mesh_values) m = rng.range(2600, 6000);
    // Steps that span the mesh across the frame, sometimes running past it.
    const int32_t stretch = rng.chance(20) ? 3 : 1;
    a.mesh_step_x = int32_t((int64_t(16) << 20) / (a.width / 2) * stretch) + rng.range(-500, 500);
    a.mesh_step_y = int32_t((int64_t(12) << 20) / (a.height / 2) * stretch) + rng.range(-500, 500);
    a.mesh_start_x = rng.range(0, 1 << 20);
    a.mesh_start_y = rng.range(0, 1 << 20);
  }

  a.log_floor = rng.range(-4, 30);
  const int32_t kLocalOutMax[] = {63, 255, 1023, 4095, 16383, 16383};
  const int32_t kGlobalOutMax[] = {1023, 4095, 16383, 65535};
  a.out_max = shape.global_lut_mode ? rng.pick(kGlobalOutMax) : rng.pick(kLocalOutMax);
  // The largest log bin is about 61 + log_floor and full scale sits in bin
  // 60 + log_floor, so this many bins always suffices.
  a.bins = 63 + a.log_floor + rng.range(0, 8);
  a.tm_strength = rng.chance(15) ? 16 : rng.range(0, 16);
  a.use_corrected_input = rng.range(0, 1);
  for (auto& g : a.wb_gain) g = rng.range(2048, 10000);
  for (int k = 0; k < 9; ++k) a.ccm[k] = (k % 4 == 0) ? rng.range(3500, 7000) : rng.range(-1800, 900);
  a.luma_w[0] = rng.range(150, 350);
  a.luma_w[1] = rng.range(350, 600);
  a.luma_w[2] = rng.range(50, 200);
  a.luma_w[3] = 1024 - a.luma_w[0] - a.luma_w[1] - a.luma_w[2];

  a.noise_on = rng.chance(75) ? 1 : 0;
  a.noise_bits = rng.range(0, 12);
  a.noise_shift = rng.chance(10) ? rng.range(32, 40) : rng.range(0, 6);
  a.noise_signed = rng.range(0, 1);
  for (int r = 0; r < 2; ++r) {
    a.noise_taps[r] = int32_t(rng.next() & 0xFFFF);
    a.noise_width[r] = rng.chance(10) ? rng.range(17, 30) : rng.range(8, 16);
    a.noise_seed[r] = rng.range(1, 0xFFFF);
  }

  a.lut1 =
      rng.chance(20) ? identity_wide_lut() : layout_lut(kWideEnds, kWideShifts, bowed_wide, rng.range(0, 8), &rng, 40);
  if (shape.global_lut_mode)
    a.lut3 = luminance_to_output_lut(a.out_max, rng.next());
  else
    a.lut2 = output_lut(a.out_max, rng.next());

  a.hist_power = rng.range(0, 3);
  const double kClip[] = {1.0, 1.25, 2.0, 4.0, 1e9};
  a.clip_limit = rng.pick(kClip);
  a.fixed_curve = rng.chance(20) ? 1 : 0;
  const double kFixedGain[] = {0.5, 1.0, 2.5};
  a.fixed_curve_gain = rng.pick(kFixedGain);
  const double kBlend[] = {0.0, 0.25, 0.5, 1.0};
  a.global_blend = rng.pick(kBlend);
  const double kLogOffset[] = {0.0, 0.5, 1.0, 16.0};
  a.log_offset = rng.pick(kLogOffset);
  return a;
}

void call_tmo(ExportArgs& a) {
  auto ptr = [](auto& v) { return v.empty() ? nullptr : v.data(); };
  tmo_v3_bayer(ptr(a.image), a.height, a.width, a.block_size_code, a.cfa_pattern, a.mesh_rows, a.mesh_cols,
               a.mesh_step_x, a.mesh_step_y, a.mesh_start_x, a.mesh_start_y, a.reserved_11, a.reserved_12, a.mesh_off,
               ptr(a.mesh_values), a.global_lut_mode, a.bins, a.tm_strength, a.log_floor, a.out_max,
               a.use_corrected_input, a.wb_gain[0], a.wb_gain[1], a.wb_gain[2], a.ccm[0], a.ccm[1], a.ccm[2], a.ccm[3],
               a.ccm[4], a.ccm[5], a.ccm[6], a.ccm[7], a.ccm[8], a.luma_w[0], a.luma_w[1], a.luma_w[2], a.luma_w[3],
               a.noise_bits, a.noise_shift, a.noise_signed, a.noise_on, a.noise_taps[0], a.noise_taps[1],
               a.noise_width[0], a.noise_width[1], a.noise_seed[0], a.noise_seed[1], ptr(a.lut1.knots),
               ptr(a.lut1.seg_end), ptr(a.lut1.seg_shift), a.lut1.seg_count, a.lut1.knot_count, ptr(a.lut2.knots),
               ptr(a.lut2.seg_end), ptr(a.lut2.seg_shift), a.lut2.seg_count, a.lut2.knot_count, ptr(a.lut3.knots),
               ptr(a.lut3.seg_end), ptr(a.lut3.seg_shift), a.lut3.seg_count, a.lut3.knot_count, a.hist_power,
               a.clip_limit, a.fixed_curve, a.fixed_curve_gain, a.global_blend, a.log_offset);
}

const GoldenCase kGoldenCases[] = {
    {"local_block64", 11, {132, 196, 0, false, false}},     {"local_block128", 23, {132, 264, 1, false, false}},
    {"local_block64_wild", 37, {132, 196, 5, false, true}}, {"local_small_frame", 41, {70, 136, -1, false, false}},
    {"global_lut", 53, {64, 96, 0, true, false}},           {"global_lut_wild", 67, {48, 80, 2, true, true}},
};
const int kGoldenCaseCount = int(sizeof kGoldenCases / sizeof kGoldenCases[0]);

std::string golden_file_name(const GoldenCase& c) { return std::string(c.name) + ".u16"; }

bool run_golden_case(const GoldenCase& c, ExportArgs& args, std::string& error) {
  args = random_case(c.seed, c.shape);
  call_tmo(args);
  char message[512];
  if (tmo_v3_bayer_status(message, sizeof message) == TMO_STATUS_OK) return true;
  error = std::string(c.name) + ": call rejected: " + message;
  return false;
}

bool write_golden(const std::string& path, const std::vector<int32_t>& frame) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  for (int32_t v : frame) {
    const unsigned char b[2] = {static_cast<unsigned char>(v & 0xFF), static_cast<unsigned char>((v >> 8) & 0xFF)};
    ok = ok && v >= 0 && v <= 0xFFFF && std::fwrite(b, 1, 2, f) == 2;
  }
  return std::fclose(f) == 0 && ok;
}

bool read_golden(const std::string& path, size_t count, std::vector<int32_t>& frame, std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    error = path + ": cannot open";
    return false;
  }
  std::vector<unsigned char> bytes(count * 2 + 1);
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  if (got != count * 2) {
    error = path + ": expected " + std::to_string(count * 2) + " bytes, found " + std::to_string(got);
    return false;
  }
  frame.resize(count);
  for (size_t i = 0; i < count; ++i) frame[i] = int32_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return true;
}

}  // namespace tonewright_cases
