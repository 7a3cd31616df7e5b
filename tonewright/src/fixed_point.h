// Fixed-point formats and the building blocks every tone-mapping stage
// shares: segmented LUT expansion, knot resampling, the log-domain table,
// quantisation, block blending weights and the dither generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "params.h"

namespace tonewright {

// A fixed-point format: an integer holding value * 2^frac_bits.
template <int FracBits>
struct FixedFormat {
  static_assert(FracBits >= 0 && FracBits < 32, "fraction must fit a 32-bit word");
  static constexpr int frac_bits = FracBits;
  static constexpr int64_t one = int64_t(1) << FracBits;
};

using GainQ12 = FixedFormat<12>;      // mesh, white balance, colour matrix: 4096 = 1.0
using HighPrecQ8 = FixedFormat<8>;    // high-precision frame values
using ToneGainQ14 = FixedFormat<14>;  // gain map: 16384 = 1.0
using LumaWeightQ16 = FixedFormat<16>;
using MeshPosQ20 = FixedFormat<20>;  // mesh positions in mesh cells
using CurveQ24 = FixedFormat<24>;    // tone-curve values: 2^24 = full scale
using LogBinQ8 = FixedFormat<8>;     // log values: 256 per tenth of a decade

constexpr uint32_t kValueMax = (1u << 20) - 1;  // top of the 20-bit linear range
constexpr uint64_t kHpMax = (uint64_t(kValueMax) + 1) * HighPrecQ8::one - 1;
constexpr uint32_t kLumaMax = 4 * kValueMax + 3;  // 22 bits: 2 fractional bits
constexpr uint32_t kWideLutSize = 1u << 22;       // LUT 1, LUT 3 and the log table
constexpr uint32_t kOutputLutSize = 1u << 14;     // LUT 2
constexpr double kCurveFullScale = double(CurveQ24::one);
// The log table steepens its slope above 10^6 by this factor; the full-scale
// bin is divided by it again when the curves are built.
constexpr double kKneeSlope = 4.8544921875;
// A tenth of a decade as the hardware model holds it: the single-precision
// constant widened, which differs from the double 0.1 in the last places.
constexpr float kTenthDecadeF = 0.1f;
constexpr double kTenthDecade = double(kTenthDecadeF);

// The 22-bit knot layout: segment ends and log2 knot spacings.
constexpr int kKnotSegments = 4;
constexpr uint32_t kKnotLayoutEnd[kKnotSegments] = {1u << 4, 1u << 13, 1u << 17, 1u << 22};
constexpr uint32_t kKnotLayoutShift[kKnotSegments] = {0, 4, 9, 14};

// Half a knot spacing: the round-half-up term of interpolation.
constexpr int64_t half_knot_step(uint32_t shift) { return shift == 0 ? 0 : int64_t(1) << (shift - 1); }

// Double to integer conversion that saturates at the integer's range and
// sends NaN to 0, so no input can make a conversion undefined.
template <typename Int>
Int saturate_cast(double x) {
  constexpr double lo = double(std::numeric_limits<Int>::min());
  constexpr double hi = double(std::numeric_limits<Int>::max());
  if (!(x == x)) return 0;
  if (x <= lo) return std::numeric_limits<Int>::min();
  if (x >= hi) return std::numeric_limits<Int>::max();
  return static_cast<Int>(x);
}

// Two's-complement wrap-around for the 32-bit sums the model lets overflow.
inline int32_t wrap_sub(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }
inline int32_t wrap_add(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }

// Fills dst[0 .. desc.table_len()) from the descriptor's knots and returns the
// knot count, or 0 when the knots ran out first. Entries no segment reaches
// keep their content. The caller guarantees table_len <= dst size and
// seg_shift <= 31 for every segment reached.
uint16_t expand_segmented_lut(int32_t* dst, const LutDescriptor& desc);

// A segmented LUT read straight from its knots, without the dense table:
// equal to expand_segmented_lut into a zero-filled table at every position.
// Only descriptors whose segments follow one another in increasing order
// have this form; for others `compact()` is false and the caller expands.
class SegmentedLut {
 public:
  SegmentedLut(const LutDescriptor& desc, uint32_t table_size);
  bool compact() const { return compact_; }
  // The segments as plain arrays, for readers that look up many positions
  // at once. `count` is 0 when the layout has more segments than slots.
  struct Layout {
    static constexpr int kSlots = 8;
    int count = 0;
    uint32_t start[kSlots] = {}, end[kSlots] = {}, shift[kSlots] = {}, first_knot[kSlots] = {};
    const int32_t* knots = nullptr;
    uint32_t last_knot = 0;
    // Every interpolation step (delta * offset + half) fits 31 bits.
    bool steps_fit_int32 = false;
  };
  Layout layout() const;
  int32_t at(uint32_t pos) const {
    // Count the segment starts at or below pos without branching; a
    // layout with more segments than slots takes the loop.
    size_t i = 0;
    if (segs_.size() <= kStartSlots / 2) {  // the usual three or four segments
      for (size_t j = 0; j < kStartSlots / 2; ++j) i += pos >= starts_[j];
    } else if (segs_.size() <= kStartSlots) {
      for (size_t j = 0; j < kStartSlots; ++j) i += pos >= starts_[j];
    } else {
      while (i < segs_.size() && segs_[i].start <= pos) ++i;
    }
    if (i == 0) return 0;
    const Segment& s = segs_[i - 1];
    if (pos >= s.end) return 0;
    const uint32_t m = (pos - s.start) >> s.shift;
    const uint32_t k = s.first_knot + m;
    const uint32_t off = pos - s.start - (m << s.shift);
    // At a base off is 0 and the rounding term shifts out to 0; the last
    // knot written has no successor to read.
    const int32_t next = knots_[k + (k < last_knot_)];
    const int32_t delta = wrap_sub(next, knots_[k]);
    const int64_t step = (int64_t(delta) * off + half_knot_step(s.shift)) >> s.shift;
    return wrap_add(knots_[k], int32_t(uint32_t(uint64_t(step))));
  }

 private:
  struct Segment {
    uint32_t start, end;  // positions written: [start, end)
    uint32_t shift;
    uint32_t first_knot;
  };
  void build(const LutDescriptor& desc, uint32_t table_size);

  static constexpr size_t kStartSlots = 8;
  const int32_t* knots_ = nullptr;
  uint32_t last_knot_ = 0;
  std::vector<Segment> segs_;
  uint32_t starts_[kStartSlots];  // segment starts, unused slots past every position
  bool compact_ = true;
};

// Reads a LUT from its knots when it can, else from the expanded table the
// caller provides: a 16 MiB table read at random costs a cache miss a cell.
class LutReader {
 public:
  LutReader(const LutDescriptor& desc, uint32_t table_size);
  bool needs_table() const { return !lut_.compact(); }
  void use_table(const int32_t* table) { table_ = table; }
  // The dense table in use, or null when the knots are read.
  const int32_t* table() const { return table_; }
  const SegmentedLut::Layout& layout() const { return layout_; }
  // Each knot of the layout with the step to the next: knot | delta << 32.
  const int64_t* knot_pairs() const { return pairs_.data(); }
  int32_t operator[](uint32_t pos) const { return table_ ? table_[pos] : lut_.at(pos); }

 private:
  SegmentedLut lut_;
  SegmentedLut::Layout layout_;
  std::vector<int64_t> pairs_;
  const int32_t* table_ = nullptr;
};

// A 32-bit value and the step to the next as one word, for readers that
// fetch both at once.
inline int64_t value_and_step(int32_t value, int32_t step) {
  return int64_t(uint64_t(uint32_t(step)) << 32 | uint32_t(value));
}

// Replaces a kWideLutSize table by its piecewise-linear version on the
// 22-bit knot layout.
void resample_at_knots(int32_t* table);

// One entry of the log-domain table before resampling, in LogBinQ8 units.
int32_t log_table_entry(uint32_t index, double log_offset);
// The whole kWideLutSize table before resampling.
void build_log_lut(int32_t* table, double log_offset);

// The resampled log table evaluated from its ~1000 knots only: equal to
// build_log_lut followed by resample_at_knots at every index.
class LogKnotTable {
 public:
  explicit LogKnotTable(double log_offset);
  // index < kWideLutSize. Branch-free: luminance jumps between segments
  // from cell to cell.
  int32_t at(uint32_t index) const {
    const int seg = int(index >= kKnotLayoutEnd[0]) + int(index >= kKnotLayoutEnd[1]) + int(index >= kKnotLayoutEnd[2]);
    const uint32_t shift = kKnotLayoutShift[seg];
    const uint32_t offset = index - kSegmentStart[seg];
    const uint32_t k = kFirstKnot[seg] + (offset >> shift);
    const uint32_t frac = offset & ((1u << shift) - 1);
    // At a knot frac is 0 and the rounding term shifts out to 0.
    const int64_t d = int64_t(knots_[k + 1]) - knots_[k];
    return int32_t(knots_[k] + ((d * frac + kHalfStep[seg]) >> shift));
  }
  const int32_t* knots() const { return knots_.data(); }
  // Each knot with the step to the next, as value_and_step.
  const int64_t* knot_pairs() const { return pairs_.data(); }
  // Every entry minus `offset` and every interpolation step fit 31 bits.
  bool fits_int32(int32_t offset) const;

  static constexpr uint32_t kSegmentStart[kKnotSegments] = {0, kKnotLayoutEnd[0], kKnotLayoutEnd[1], kKnotLayoutEnd[2]};
  static constexpr uint32_t kFirstKnot[kKnotSegments] = {0, 16, 16 + 511, 16 + 511 + 240};

 private:
  static constexpr int64_t kHalfStep[kKnotSegments] = {
      half_knot_step(kKnotLayoutShift[0]), half_knot_step(kKnotLayoutShift[1]), half_knot_step(kKnotLayoutShift[2]),
      half_knot_step(kKnotLayoutShift[3])};
  std::vector<int32_t> knots_;  // every knot of the layout, then the last entry
  std::vector<int64_t> pairs_;
};

double quantize_fixed(double x, int total_bits, int int_bits, bool is_signed);

// Bilinear blending weights for a block of n (a power of two).
std::vector<double> tent_weights(int n);  // n x n, row-major
struct CornerWeights {
  int half = 0;
  std::vector<uint32_t> w;       // half x half x 4
  std::vector<uint32_t> planes;  // the same as 4 planes of half x half, for reading a row at once
  const uint32_t* at(int i, int j) const { return &w[(size_t(i) * half + j) * 4]; }
  const uint32_t* plane_row(int slot, int i) const { return &planes[(size_t(slot) * half + i) * half]; }
};
CornerWeights corner_weights(const std::vector<double>& tent, int n);
std::vector<uint32_t> corner_norms(const std::vector<double>& tent, int n, int shift);

// Two 16-bit Galois LFSRs whose states are XOR-ed into one dither word.
class DitherGenerator {
 public:
  void seed(const uint16_t widths[2], const uint16_t seeds[2]);
  void set_taps(const uint16_t tap_words[2]);
  uint16_t step() {
    uint16_t e = 0;
    for (int r = 0; r < 2; ++r) {
      const uint16_t s = state_[r];
      // XOR the taps in when the bit shifted out was set, without a
      // branch: the bit is as good as random.
      state_[r] = uint16_t((s >> 1) ^ (taps_[r] & -(s & 1)));
      e ^= state_[r];
    }
    return e;
  }
  // The state `n` steps on, without taking them: a step is linear over
  // GF(2), so n steps are the step matrix raised to the n-th power.
  void advance(uint64_t n);
  // The words of the next `count` steps, eight steps a table lookup: what
  // eight steps do to a state is a function of its low byte plus the high
  // byte shifted down, as no high bit reaches bit 0 within them.
  // The tables depend on the taps alone: one set serves every generator
  // with the taps of `g`, whatever its state.
  class ByteTables {
   public:
    explicit ByteTables(const DitherGenerator& g);

   private:
    friend class DitherGenerator;
    static constexpr int kSteps = 8;
    uint16_t low_[2][256][kSteps];  // state after t + 1 steps from a low byte alone, per register
    uint16_t high_[256][kSteps];    // a high byte shifted down t + 1 places
  };
  void fill(const ByteTables& t, uint16_t* words, size_t count);
  // A jump of `n` steps for generators with the taps of `g`, made once:
  // the step matrix's n-th power, which advance works out at each call.
  class Jump {
   public:
    Jump(const DitherGenerator& g, uint64_t n);

   private:
    friend class DitherGenerator;
    uint16_t col_[2][16];  // per register, the image of each state bit
  };
  // The words of the next `count` steps into `first` and of the `count`
  // steps after them into `second`, as two fill calls: `skip` jumps
  // `count` steps, so the two runs are worked out side by side instead of
  // one waiting on the other.
  void fill_two(const ByteTables& t, const Jump& skip, uint16_t* first, uint16_t* second, size_t count);
  // One step and one value of `bits` bits with `int_bits` integer bits.
  double draw(int bits, int int_bits, bool is_signed);
  uint16_t mask(int r) const { return mask_[r]; }

 private:
  void fill_eight(const ByteTables& t, uint16_t* words);

  uint16_t mask_[2] = {0, 0};
  uint16_t taps_[2] = {0, 0};
  uint16_t state_[2] = {0, 0};
};

// The integer dither value of every dither word for one parameter set: the
// value depends only on the word's low `bits` bits, so each of those is
// quantised once per call instead of once per cell.
class DitherTable {
 public:
  explicit DitherTable(const DitherParams& d);
  int32_t operator[](uint16_t word) const { return value_[word & mask_]; }
  uint16_t mask() const { return mask_; }
  // Each value times 2^shift, when every one fits 31 bits; else empty.
  std::vector<int32_t> shifted(int shift) const;
  // How the values follow from the masked word w: 0 when every value is w
  // itself; a bit b when it is w, or the complement of the bits below b
  // where w has b set; -1 when the values take another form.
  int32_t sign_bit() const;

 private:
  uint16_t mask_;
  std::vector<int32_t> value_;
};

// A generator seeded from the dither block, as at the start of every call,
// and stepped past the first `cell` cells (cells draw in row-major order).
DitherGenerator dither_at(const DitherParams& d, size_t cell);

}  // namespace tonewright
