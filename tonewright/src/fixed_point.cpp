#include "fixed_point.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tonewright {

namespace {

// The interpolation step (delta * offset + half) >> shift fits 31 bits for
// every offset below 2^shift.
bool step_fits_int32(int64_t delta, uint32_t shift) {
  if (shift > 30) return delta == 0;
  const int64_t magnitude = delta < 0 ? -delta : delta;
  return magnitude * ((int64_t(1) << shift) - 1) + half_knot_step(shift) <= INT32_MAX;
}

}  // namespace

uint16_t expand_segmented_lut(int32_t* dst, const LutDescriptor& desc) {
  const uint64_t table_len = desc.table_len();
  int k = 0;  // next knot to read
  int32_t delta = 0;
  for (int i = 0; i < desc.seg_count; ++i) {
    const uint32_t shift = desc.seg_shift[i];
    const uint64_t step = uint64_t(1) << shift;
    const uint64_t start = i == 0 ? 0 : desc.seg_end[i - 1];
    uint64_t base = start;
    uint64_t next = start + step;
    for (uint64_t pos = start; pos < desc.seg_end[i] && pos < table_len; ++pos) {
      if (pos == next) {
        base = next;
        next += step;
      }
      if (pos == base) {
        dst[pos] = desc.knots[k];
        ++k;
        if (k > int(desc.knot_count) - 1) return 0;
        delta = wrap_sub(desc.knots[k], desc.knots[k - 1]);
      } else {
        const int64_t offset = (int64_t(delta) * int64_t(pos - base) + half_knot_step(shift)) >> shift;
        dst[pos] = wrap_add(desc.knots[k - 1], int32_t(uint32_t(uint64_t(offset))));
      }
    }
    if (desc.seg_end[i] >= table_len) break;
  }
  return desc.knot_count;
}

SegmentedLut::SegmentedLut(const LutDescriptor& desc, uint32_t table_size) : knots_(desc.knots) {
  build(desc, table_size);
  for (size_t j = 0; j < kStartSlots; ++j) starts_[j] = j < segs_.size() ? segs_[j].start : UINT32_MAX;
  if (desc.knot_count > 0) last_knot_ = desc.knot_count - 1u;
}

LutReader::LutReader(const LutDescriptor& desc, uint32_t table_size) : lut_(desc, table_size), layout_(lut_.layout()) {
  if (layout_.count == 0) return;
  pairs_.resize(size_t(layout_.last_knot) + 1);
  for (uint32_t k = 0; k <= layout_.last_knot; ++k) {
    const int32_t next = layout_.knots[k + (k < layout_.last_knot)];
    pairs_[k] = value_and_step(layout_.knots[k], wrap_sub(next, layout_.knots[k]));
  }
}

SegmentedLut::Layout SegmentedLut::layout() const {
  Layout l;
  if (!compact_ || segs_.size() > size_t(Layout::kSlots)) return l;
  l.count = int(segs_.size());
  l.knots = knots_;
  l.last_knot = last_knot_;
  l.steps_fit_int32 = true;
  for (int i = 0; i < l.count; ++i) {
    const Segment& s = segs_[size_t(i)];
    l.start[i] = s.start;
    l.end[i] = s.end;
    l.shift[i] = s.shift;
    l.first_knot[i] = s.first_knot;
    const uint32_t bases = s.end > s.start ? ((s.end - s.start - 1) >> s.shift) + 1 : 0;
    for (uint32_t m = 0; m < bases && l.steps_fit_int32; ++m) {
      const uint32_t k = s.first_knot + m;
      const int32_t delta = wrap_sub(knots_[k + (k < last_knot_)], knots_[k]);
      l.steps_fit_int32 = step_fits_int32(delta, s.shift);
    }
  }
  return l;
}

void SegmentedLut::build(const LutDescriptor& desc, uint32_t table_size) {
  if (!desc.seg_end) return;  // a LUT the call does not use
  const uint64_t table_len = std::min<uint64_t>(desc.table_len(), table_size);
  uint64_t k = 0;  // first knot of the segment
  uint64_t written_end = 0;
  for (int i = 0; i < desc.seg_count; ++i) {
    const uint64_t start = i == 0 ? 0 : desc.seg_end[i - 1];
    const uint64_t end = std::min<uint64_t>(desc.seg_end[i], table_len);
    if (start < end) {
      if (start < written_end) {  // overlaps an earlier segment: only the dense table says which wins
        compact_ = false;
        return;
      }
      const uint32_t shift = desc.seg_shift[i];
      const uint64_t bases = ((end - start - 1) >> shift) + 1;
      const uint64_t last_knot = uint64_t(desc.knot_count) - 1;
      if (k + bases - 1 >= last_knot) {
        // The knots run out at a base of this segment; nothing after it is written.
        segs_.push_back({uint32_t(start), uint32_t(start + ((last_knot - k) << shift) + 1), shift, uint32_t(k)});
        return;
      }
      segs_.push_back({uint32_t(start), uint32_t(end), shift, uint32_t(k)});
      k += bases;
      written_end = end;
    }
    if (desc.seg_end[i] >= table_len) break;
  }
}

void resample_at_knots(int32_t* table) {
  constexpr uint32_t last = kWideLutSize - 1;
  for (int i = 0; i < kKnotSegments; ++i) {
    const uint32_t start = i == 0 ? 0 : kKnotLayoutEnd[i - 1];
    const uint32_t shift = kKnotLayoutShift[i];
    const uint32_t step = 1u << shift;
    uint32_t knot = start;
    uint32_t next = start + step;
    int64_t d = 0;
    for (uint32_t j = start; j < kKnotLayoutEnd[i]; ++j) {
      if (j == next) {
        knot = next;
        next += step;
      }
      if (j == knot) {
        if (j == last) return;
        d = int64_t(next < kWideLutSize ? table[next] : table[last]) - table[knot];
      } else {
        table[j] = int32_t(table[knot] + ((d * (j - knot) + half_knot_step(shift)) >> shift));
      }
    }
    if (kKnotLayoutEnd[i] >= kWideLutSize) break;
  }
}

int32_t log_table_entry(uint32_t index, double log_offset) {
  constexpr double decade_of_one_million = 6.0;
  const double x = index * 0.25 + log_offset;  // 2 fractional bits of the linear value
  double v;
  if (x != 0) {
    double c = std::log10(x);
    if (c > decade_of_one_million) c = decade_of_one_million + (c - decade_of_one_million) * kKneeSlope;
    v = c / kTenthDecade;
  } else {
    v = -0.7 / kTenthDecade;
  }
  return saturate_cast<int32_t>(std::round(v * double(LogBinQ8::one)));
}

void build_log_lut(int32_t* table, double log_offset) {
  for (uint32_t i = 0; i < kWideLutSize; ++i) table[i] = log_table_entry(i, log_offset);
}

constexpr uint32_t LogKnotTable::kFirstKnot[kKnotSegments];
constexpr uint32_t LogKnotTable::kSegmentStart[kKnotSegments];
constexpr int64_t LogKnotTable::kHalfStep[kKnotSegments];

LogKnotTable::LogKnotTable(double log_offset) {
  knots_.reserve(kFirstKnot[3] + (kKnotLayoutEnd[3] - kKnotLayoutEnd[2]) / (1u << kKnotLayoutShift[3]) + 1);
  for (int i = 0; i < kKnotSegments; ++i) {
    const uint32_t start = i == 0 ? 0 : kKnotLayoutEnd[i - 1];
    for (uint32_t v = start; v < kKnotLayoutEnd[i]; v += 1u << kKnotLayoutShift[i])
      knots_.push_back(log_table_entry(v, log_offset));
  }
  // The last knot interval has no knot at its far end: it runs to the
  // table's last entry instead.
  knots_.push_back(log_table_entry(kWideLutSize - 1, log_offset));
  pairs_.resize(knots_.size() - 1);
  for (size_t k = 0; k + 1 < knots_.size(); ++k)
    pairs_[k] = value_and_step(knots_[k], wrap_sub(knots_[k + 1], knots_[k]));
}

bool LogKnotTable::fits_int32(int32_t offset) const {
  for (size_t k = 0; k < knots_.size(); ++k) {
    if (int64_t(knots_[k]) - offset > INT32_MAX || int64_t(knots_[k]) - offset < INT32_MIN) return false;
    if (k + 1 == knots_.size()) break;
    const int seg = int(k >= kFirstKnot[1]) + int(k >= kFirstKnot[2]) + int(k >= kFirstKnot[3]);
    if (!step_fits_int32(int64_t(knots_[k + 1]) - knots_[k], kKnotLayoutShift[seg])) return false;
  }
  return true;
}

double quantize_fixed(double x, int total_bits, int int_bits, bool is_signed) {
  const double g = std::ldexp(1.0, total_bits - int(is_signed) - int_bits);  // fraction scale
  const double e = std::ldexp(1.0, int_bits);
  const double hi = e - 1.0 / g;
  if (is_signed) {
    if (x >= hi) return hi;
    if (x <= -e) return -e;
    if (x < 0) return -std::floor(std::fabs(x) * g + 0.5) / g;
    return std::floor(x * g + 0.5) / g;
  }
  if (x < 0) return 0.0;
  if (x >= hi) return hi;
  return std::floor(g * x + 0.5) / g;
}

std::vector<double> tent_weights(int n) {
  const int a = n / 2;
  const double b = (n - 1) / 2.0;
  std::vector<double> w(size_t(n) * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) w[size_t(i) * n + j] = (a - std::fabs(j - b)) * (a - std::fabs(i - b));
  return w;
}

CornerWeights corner_weights(const std::vector<double>& tent, int n) {
  CornerWeights cw;
  cw.half = n / 2;
  const int h = cw.half;
  cw.w.resize(size_t(h) * h * 4);
  cw.planes.resize(cw.w.size());
  auto W = [&](int i, int j) { return tent[size_t(i) * n + j]; };
  for (int i = 0; i < h; ++i) {
    for (int j = 0; j < h; ++j) {
      uint32_t* out = &cw.w[(size_t(i) * h + j) * 4];
      out[0] = uint32_t(4 * W(i, j));
      out[1] = uint32_t(4 * W(i, j + h));
      out[2] = uint32_t(4 * W(i + h, j));
      out[3] = uint32_t(4 * W(i + h, j + h));
      for (int slot = 0; slot < 4; ++slot) cw.planes[(size_t(slot) * h + i) * h + j] = out[slot];
    }
  }
  return cw;
}

std::vector<uint32_t> corner_norms(const std::vector<double>& tent, int n, int shift) {
  const int h = n / 2;
  std::vector<uint32_t> norms(h);
  for (int i = 0; i < h; ++i) {
    const uint32_t pair_sum = uint32_t(4 * (tent[size_t(i) * n + h - 1] + tent[size_t(i) * n]));
    norms[i] = (uint32_t(1) << shift) / pair_sum;
  }
  return norms;
}

void DitherGenerator::seed(const uint16_t widths[2], const uint16_t seeds[2]) {
  for (int r = 0; r < 2; ++r) {
    // widths[r] doublings-plus-one of a 16-bit word saturate at 16 bits.
    mask_[r] = widths[r] >= 16 ? uint16_t(0xFFFF) : uint16_t((1u << widths[r]) - 1);
    taps_[r] = mask_[r] & 1;
    state_[r] = seeds[r];
  }
}

void DitherGenerator::set_taps(const uint16_t tap_words[2]) {
  for (int r = 0; r < 2; ++r) taps_[r] = tap_words[r] & mask_[r];
}

namespace {

// A linear map of 16-bit words over GF(2): column b is the image of bit b.
struct BitMatrix {
  uint16_t col[16];
  uint16_t apply(uint16_t v) const {
    uint16_t r = 0;
    for (int b = 0; b < 16; ++b) r ^= uint16_t(col[b] & -((v >> b) & 1));
    return r;
  }
  BitMatrix then(const BitMatrix& next) const {
    BitMatrix m;
    for (int b = 0; b < 16; ++b) m.col[b] = next.apply(col[b]);
    return m;
  }
};

// The matrix of one register step: shift right, taps in when bit 0 was set.
BitMatrix step_matrix(uint16_t taps) {
  BitMatrix m;
  m.col[0] = taps;
  for (int b = 1; b < 16; ++b) m.col[b] = uint16_t(1u << (b - 1));
  return m;
}

// The matrix of n steps.
BitMatrix step_power(uint16_t taps, uint64_t n) {
  BitMatrix result;
  for (int b = 0; b < 16; ++b) result.col[b] = uint16_t(1u << b);
  BitMatrix power = step_matrix(taps);
  for (uint64_t left = n; left; left >>= 1) {
    if (left & 1) result = result.then(power);
    power = power.then(power);
  }
  return result;
}

}  // namespace

void DitherGenerator::advance(uint64_t n) {
  for (int r = 0; r < 2; ++r) {
    BitMatrix power = step_matrix(taps_[r]);
    uint16_t s = state_[r];
    for (uint64_t left = n; left; left >>= 1) {
      if (left & 1) s = power.apply(s);
      power = power.then(power);
    }
    state_[r] = s;
  }
}

DitherGenerator::ByteTables::ByteTables(const DitherGenerator& g) {
  for (int b = 0; b < 256; ++b) {
    for (int r = 0; r < 2; ++r) {
      uint16_t v = uint16_t(b);
      for (int t = 0; t < kSteps; ++t) {
        v = uint16_t((v >> 1) ^ (g.taps_[r] & -(v & 1)));
        low_[r][b][t] = v;
      }
    }
    for (int t = 0; t < kSteps; ++t) high_[b][t] = uint16_t((b << 8) >> (t + 1));
  }
}

inline void DitherGenerator::fill_eight(const ByteTables& t, uint16_t* words) {
  constexpr int kSteps = ByteTables::kSteps;
  const uint16_t* a = t.low_[0][state_[0] & 0xFF];
  const uint16_t* b = t.low_[1][state_[1] & 0xFF];
  const uint16_t* h = t.high_[((state_[0] ^ state_[1]) >> 8) & 0xFF];
  // The eight words as two 64-bit ones: the compiler keeps the loop over
  // single words otherwise.
  static_assert(kSteps * sizeof(uint16_t) == 2 * sizeof(uint64_t), "eight words in two 64-bit ones");
  uint64_t wa[2], wb[2], wh[2];
  std::memcpy(wa, a, sizeof wa);
  std::memcpy(wb, b, sizeof wb);
  std::memcpy(wh, h, sizeof wh);
  for (int k = 0; k < 2; ++k) wh[k] ^= wa[k] ^ wb[k];
  std::memcpy(words, wh, sizeof wh);
  state_[0] = uint16_t((state_[0] >> kSteps) ^ a[kSteps - 1]);
  state_[1] = uint16_t((state_[1] >> kSteps) ^ b[kSteps - 1]);
}

void DitherGenerator::fill(const ByteTables& t, uint16_t* words, size_t count) {
  size_t i = 0;
  for (; i + ByteTables::kSteps <= count; i += ByteTables::kSteps) fill_eight(t, words + i);
  for (; i < count; ++i) words[i] = step();
}

DitherGenerator::Jump::Jump(const DitherGenerator& g, uint64_t n) {
  for (int r = 0; r < 2; ++r) {
    const BitMatrix m = step_power(g.taps_[r], n);
    for (int b = 0; b < 16; ++b) col_[r][b] = m.col[b];
  }
}

void DitherGenerator::fill_two(const ByteTables& t, const Jump& skip, uint16_t* first, uint16_t* second, size_t count) {
  DitherGenerator other = *this;
  for (int r = 0; r < 2; ++r) {
    uint16_t s = 0;
    for (int b = 0; b < 16; ++b) s ^= uint16_t(skip.col_[r][b] & -((state_[r] >> b) & 1));
    other.state_[r] = s;
  }
  size_t i = 0;
  for (; i + ByteTables::kSteps <= count; i += ByteTables::kSteps) {
    fill_eight(t, first + i);
    other.fill_eight(t, second + i);
  }
  for (; i < count; ++i) {
    first[i] = step();
    second[i] = other.step();
  }
  *this = other;
}

namespace {

// The value of one dither word before quantisation.
double dither_value(uint16_t e, int bits, int int_bits, bool is_signed) {
  const uint32_t v = bits >= 16 ? e : e & ((1u << bits) - 1);
  if (is_signed) {
    const double scale = std::ldexp(1.0, bits - int_bits - 1);
    const bool negative = bits >= 1 && bits <= 16 && (v >> (bits - 1)) == 1;
    if (negative) return -double((v ^ (1u << (bits - 1))) + 1) / scale;
    return v / scale;
  }
  const int down = bits - int_bits;
  if (down >= 32) return 0.0;
  if (down >= 0) return double(v >> down);  // integer division by 2^down
  return std::ldexp(double(v), -down);
}

}  // namespace

double DitherGenerator::draw(int bits, int int_bits, bool is_signed) {
  return quantize_fixed(dither_value(step(), bits, int_bits, is_signed), bits, int_bits, is_signed);
}

DitherTable::DitherTable(const DitherParams& d)
    : mask_(d.bits >= 16 ? uint16_t(0xFFFF) : uint16_t((1u << d.bits) - 1)), value_(size_t(mask_) + 1) {
  const int int_bits = d.is_signed ? d.bits - 1 : d.bits;
  for (uint32_t v = 0; v <= mask_; ++v)
    value_[v] = saturate_cast<int32_t>(std::trunc(
        quantize_fixed(dither_value(uint16_t(v), d.bits, int_bits, d.is_signed), d.bits, int_bits, d.is_signed)));
}

std::vector<int32_t> DitherTable::shifted(int shift) const {
  std::vector<int32_t> out(value_.size());
  for (size_t v = 0; v < value_.size(); ++v) {
    const int64_t x = int64_t(value_[v]) * (int64_t(1) << (shift & 31));
    if (x > INT32_MAX || x < -INT32_MAX) return {};
    out[v] = int32_t(x);
  }
  return out;
}

int32_t DitherTable::sign_bit() const {
  auto follows = [&](uint32_t bit) {
    for (uint32_t v = 0; v <= mask_; ++v) {
      const int32_t form = (v & bit) ? int32_t(~(v & (bit - 1u))) : int32_t(v);
      if (value_[v] != form) return false;
    }
    return true;
  };
  // Signed values carry their sign in the top bit of the mask.
  const uint32_t top = (uint32_t(mask_) + 1) >> 1;
  if (top && follows(top)) return int32_t(top);
  return follows(0) ? 0 : -1;
}

DitherGenerator dither_at(const DitherParams& d, size_t cell) {
  DitherGenerator gen;
  gen.seed(d.widths, d.seeds);
  gen.set_taps(d.taps);
  gen.advance(cell);
  return gen;
}

}  // namespace tonewright
