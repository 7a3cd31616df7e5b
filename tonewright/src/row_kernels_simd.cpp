// Vector row kernels, compiled once per instruction set and chosen at run
// time. Arithmetic that needs 64 bits holds one cell per 64-bit lane, so
// every product the model takes modulo 2^64 stays exact; table lookups on
// 32-bit values run a cell per 32-bit lane.
// Wherever a value may leave the range a lane holds exactly (a raw pixel
// outside 24 bits, a negative gain, a LUT whose steps overflow 31 bits) the
// cells go through the per-cell functions instead.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "row_kernels_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// The per-target headers come after the file's own re-inclusion above.
#include <hwy/cache_control.h>
#include <hwy/highway.h>

#include "row_kernels.h"

HWY_BEFORE_NAMESPACE();
namespace tonewright {
namespace HWY_NAMESPACE {
// One lane per vector holds nothing over the plain kernels.
#if HWY_TARGET != HWY_SCALAR
namespace {

namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<double>;
using DI64 = hn::RebindToSigned<D>;
using DU64 = hn::RebindToUnsigned<D>;
using DI32 = hn::Rebind<int32_t, D>;  // one 32-bit value per cell
using DU32 = hn::Rebind<uint32_t, D>;
using DU16 = hn::Rebind<uint16_t, D>;
using DPair = hn::Repartition<int32_t, DI64>;  // two pixels per cell
using DU32Wide = hn::Repartition<uint32_t, DU64>;
using VD = hn::Vec<D>;
using VI64 = hn::Vec<DI64>;
using VU64 = hn::Vec<DU64>;
using VI32 = hn::Vec<DI32>;
using VU32 = hn::Vec<DU32>;

// a >= b, which this Highway version spells as not a < b.
template <class V>
HWY_INLINE auto at_least(V a, V b) -> decltype(hn::Lt(a, b)) {
  return hn::Not(hn::Lt(a, b));
}

// Pixels 2c and 2c + 1 of a run of cells, sign-extended.
struct PixelPair {
  VI64 even, odd;
};

HWY_INLINE PixelPair load_pairs(const int32_t* row) {
  const DI64 di64;
  const VI64 both = hn::BitCast(di64, hn::LoadU(DPair(), row));
  return {hn::ShiftRight<32>(hn::ShiftLeft<32>(both)), hn::ShiftRight<32>(both)};
}

// Stores two values below 2^32 per cell as the pixels 2c and 2c + 1.
HWY_INLINE void store_pairs(VU64 even, VU64 odd, int32_t* row) {
  const VU64 both = hn::Or(even, hn::ShiftLeft<32>(odd));
  hn::StoreU(hn::BitCast(DPair(), both), DPair(), row);
}

// a * b for lanes that both hold less than 2^32.
HWY_INLINE VU64 mul_narrow(VU64 a, VU64 b) {
  const DU32Wide d32;
  return hn::MulEven(hn::BitCast(d32, a), hn::BitCast(d32, b));
}

// How far ahead of the loads the rows are fetched into cache: the frame
// streams from memory, and a vector of cells takes long enough to compute
// that the hardware's own prefetching falls behind.
constexpr size_t kPrefetchBytes = 1024;

template <typename T>
HWY_INLINE void fetch_ahead(const T* p) {
  hwy::Prefetch(reinterpret_cast<const char*>(p) + kPrefetchBytes);
}

// min(v, limit) for values below 2^63: the signed comparison, which the
// older instruction sets have and the unsigned one they lack.
HWY_INLINE VU64 below_2_63_min(VU64 v, uint64_t limit) {
  const DI64 di64;
  return hn::BitCast(DU64(), hn::Min(hn::BitCast(di64, v), hn::Set(di64, int64_t(limit))));
}

HWY_INLINE VU64 widen(VU32 v) { return hn::PromoteTo(DU64(), v); }
HWY_INLINE VI64 widen(VI32 v) { return hn::PromoteTo(DI64(), v); }
HWY_INLINE VU32 narrow(VU64 v) { return hn::TruncateTo(DU32(), v); }

// ---- Tables ------------------------------------------------------------------

// Entries k of a table of value_and_step words: the value and the step,
// one 64-bit gather per half of the lanes.
template <class DI>
HWY_INLINE void gather_steps(DI di, const int64_t* pairs, hn::Vec<DI> k, hn::Vec<DI>& value, hn::Vec<DI>& step) {
  const hn::RepartitionToWide<DI> dw;
  const hn::Half<DI> dh;
  const auto lo = hn::BitCast(di, hn::GatherIndex(dw, pairs, hn::PromoteTo(dw, hn::LowerHalf(dh, k))));
  const auto hi = hn::BitCast(di, hn::GatherIndex(dw, pairs, hn::PromoteTo(dw, hn::UpperHalf(dh, k))));
  value = hn::ConcatEven(di, hi, lo);
  step = hn::ConcatOdd(di, hi, lo);
}

// A segmented LUT read for lanes of positions, as SegmentedLut::at.
// Requires lut_in_lanes. Made once per row: it holds the segment fields
// as tables the lanes look up.
template <class DI>
class LutLanes {
 public:
  using VI = hn::Vec<DI>;

  LutLanes(DI di, const LutReader& lut) : lut_(lut) {
    if (lut.table()) return;
    const SegmentedLut::Layout& l = lut.layout();
    // Slot 0 for positions below the first segment (all fields 0), slot
    // j + 1 for segment j: a lane's slot is the count of segment starts
    // at or below its position, as the starts increase.
    constexpr size_t kMaxLanes = HWY_MAX_BYTES / sizeof(int32_t);
    HWY_ALIGN int32_t field[5][kMaxLanes] = {};
    for (int j = 0; j < l.count; ++j) {
      field[0][j + 1] = bound(l.start[j]);
      field[1][j + 1] = bound(l.end[j]);
      field[2][j + 1] = int32_t(l.shift[j]);
      field[3][j + 1] = int32_t(l.first_knot[j]);
      field[4][j + 1] = int32_t(half_knot_step(l.shift[j]));
    }
    start_ = hn::Load(di, field[0]);
    end_ = hn::Load(di, field[1]);
    shift_ = hn::Load(di, field[2]);
    first_ = hn::Load(di, field[3]);
    half_ = hn::Load(di, field[4]);
  }

  VI operator()(DI di, VI p) const {
    const hn::RebindToUnsigned<DI> du;
    if (lut_.table()) return hn::GatherIndex(di, lut_.table(), p);
    const SegmentedLut::Layout& l = lut_.layout();
    VI slot = hn::Zero(di);
    for (int j = 0; j < l.count; ++j)
      slot = hn::Sub(slot, hn::VecFromMask(di, at_least(p, hn::Set(di, bound(l.start[j])))));
    const auto at = hn::IndicesFromVec(di, slot);
    const VI start = hn::TableLookupLanes(start_, at);
    const VI shift = hn::TableLookupLanes(shift_, at);
    const auto inside = hn::Lt(p, hn::TableLookupLanes(end_, at));  // never in slot 0
    const VI rel = hn::Sub(p, start);
    const VI m = hn::BitCast(di, hn::BitCast(du, rel) >> hn::BitCast(du, shift));
    const VI k = hn::IfThenElseZero(inside, hn::Add(hn::TableLookupLanes(first_, at), m));
    const VI off = hn::Sub(rel, m << shift);
    VI base, delta;
    gather_steps(di, lut_.knot_pairs(), k, base, delta);
    const VI step = hn::Add(hn::Mul(delta, off), hn::TableLookupLanes(half_, at)) >> shift;
    return hn::IfThenElseZero(inside, hn::Add(base, step));
  }

 private:
  // Positions are 22-bit: segment bounds beyond are all the same to them.
  static int32_t bound(uint32_t v) { return int32_t(std::min<uint32_t>(v, 1u << 23)); }

  const LutReader& lut_;
  VI start_, end_, shift_, first_, half_;
};

// A dense table, or a layout with steps_fit_int32 and a slot for each
// segment and one below them in the 32-bit lanes (a table's positions hold
// three segments).
HWY_INLINE bool lut_in_lanes(const LutReader& lut) {
  const SegmentedLut::Layout& l = lut.layout();
  return lut.table() || (l.count > 0 && l.steps_fit_int32 && size_t(l.count) < hn::Lanes(hn::ScalableTag<int32_t>()));
}

// The lifted log luminance of 22-bit lumas, as log_luminance; requires a
// table whose values fit 31 bits after the lift.
template <class DI>
HWY_INLINE hn::Vec<DI> log_lookup(DI di, const LogKnotTable& table, int32_t offset, hn::Vec<DI> luma) {
  using VI = hn::Vec<DI>;
  // The fields of each knot segment, by segment: a lane's segment is the
  // count of segment ends at or below its luma.
  static_assert(kKnotSegments == 4, "four segments, one for each of the narrowest vector's lanes");
  constexpr size_t kMaxLanes = HWY_MAX_BYTES / sizeof(int32_t);
  alignas(HWY_MAX_BYTES) static constexpr int32_t kShift[kMaxLanes] = {
      int32_t(kKnotLayoutShift[0]), int32_t(kKnotLayoutShift[1]), int32_t(kKnotLayoutShift[2]),
      int32_t(kKnotLayoutShift[3])};
  alignas(HWY_MAX_BYTES) static constexpr int32_t kStart[kMaxLanes] = {
      int32_t(LogKnotTable::kSegmentStart[0]), int32_t(LogKnotTable::kSegmentStart[1]),
      int32_t(LogKnotTable::kSegmentStart[2]), int32_t(LogKnotTable::kSegmentStart[3])};
  alignas(HWY_MAX_BYTES) static constexpr int32_t kFirst[kMaxLanes] = {
      int32_t(LogKnotTable::kFirstKnot[0]), int32_t(LogKnotTable::kFirstKnot[1]), int32_t(LogKnotTable::kFirstKnot[2]),
      int32_t(LogKnotTable::kFirstKnot[3])};
  alignas(HWY_MAX_BYTES) static constexpr int32_t kHalf[kMaxLanes] = {
      int32_t(half_knot_step(kKnotLayoutShift[0])), int32_t(half_knot_step(kKnotLayoutShift[1])),
      int32_t(half_knot_step(kKnotLayoutShift[2])), int32_t(half_knot_step(kKnotLayoutShift[3]))};
  VI seg = hn::Zero(di);
  for (int s = 0; s + 1 < kKnotSegments; ++s)
    seg = hn::Sub(seg, hn::VecFromMask(di, at_least(luma, hn::Set(di, int32_t(kKnotLayoutEnd[s])))));
  const auto at = hn::IndicesFromVec(di, seg);
  const VI shift = hn::TableLookupLanes(hn::Load(di, kShift), at);
  const VI off = hn::Sub(luma, hn::TableLookupLanes(hn::Load(di, kStart), at));
  const VI m = off >> shift;
  const VI k = hn::Add(hn::TableLookupLanes(hn::Load(di, kFirst), at), m);
  const VI frac = hn::Sub(off, m << shift);
  VI base, d;
  gather_steps(di, table.knot_pairs(), k, base, d);
  const VI l = hn::Add(base, hn::Add(hn::Mul(d, frac), hn::TableLookupLanes(hn::Load(di, kHalf), at)) >> shift);
  return hn::Max(hn::Sub(l, hn::Set(di, offset)), hn::Zero(di));
}

// ---- Mesh gains ------------------------------------------------------------------

void MeshGains(const MeshSampler& mesh, int cell_row, int32_t* out) {
  const D d;
  const DI32 di;
  const size_t n = hn::Lanes(d);
  int64_t v[4][MeshSampler::kValueCols + 1];
  mesh.vertical(cell_row, v);
  const size_t lc = size_t(mesh.luma_cols());
  const double* w0 = mesh.col_w0();
  const double* w1 = mesh.col_w1();
  const int32_t* w1_int = mesh.col_w1_int();
  const hn::ScalableTag<int32_t> dw;
  const size_t nw = hn::Lanes(dw);
  // The two column weights sum to 2^20, so a gain is a + floor((b - a) *
  // w1 / 2^20). Where b - a is below 2^11 either way the product fits 32
  // bits: a vector of 32-bit lanes. Otherwise, with 32-bit values and
  // weights below 2^20 every step is an exact double, and so is the sum
  // before the floor.
  constexpr int64_t kNarrowStep = int64_t(1) << (31 - MeshPosQ20::frac_bits);
  for (const MeshSampler::Run& run : mesh.runs()) {
    for (int k = 0; k < 4; ++k) {
      const int64_t a = v[k][run.a], delta = v[k][run.b] - a;
      int32_t* row = out + size_t(k) * lc;
      size_t c = size_t(run.begin);
      if (delta > -kNarrowStep && delta < kNarrowStep && a > INT32_MIN + kNarrowStep && a < INT32_MAX - kNarrowStep) {
        const auto base = hn::Set(dw, int32_t(a));
        const auto step = hn::Set(dw, int32_t(delta));
        for (; c + nw <= size_t(run.end); c += nw) {
          const auto blend = hn::Mul(step, hn::LoadU(dw, w1_int + c));
          hn::StoreU(hn::Add(base, hn::ShiftRight<MeshPosQ20::frac_bits>(blend)), dw, row + c);
        }
      }
      const VD va = hn::Set(d, double(a));
      const VD step = hn::Set(d, double(delta) / double(MeshPosQ20::one));
      for (; c + n <= size_t(run.end); c += n)
        hn::StoreU(hn::DemoteTo(di, hn::Floor(hn::MulAdd(step, hn::LoadU(d, w1 + c), va))), di, row + c);
      for (; c < size_t(run.end); ++c)
        row[c] = int32_t((v[k][run.b] * int64_t(w1[c]) + v[k][run.a] * int64_t(w0[c])) >> MeshPosQ20::frac_bits);
    }
  }
}

// ---- Luminance ---------------------------------------------------------------------

// Every per-call constant within the range the lanes compute exactly.
bool luma_in_lanes(const LumaConsts& c) {
  // Matrix entries are 32-bit already; white balance and luma weights
  // must be too as unsigned values.
  for (int k = 0; k < 4; ++k)
    if (c.wb[k] > uint64_t(INT32_MAX) || c.lw[k] > uint64_t(UINT32_MAX)) return false;
  if (c.dither && !c.dither_shifted) return false;
  if (c.log_table && !c.log_fits_int32) return false;
  return lut_in_lanes(*c.lut1);
}

constexpr int kRawBits = 24;  // raw pixels the lanes take: shifted by 8 they still fit 32 bits

// High precision of one cell position. Gathers into `wild` what shows
// whether the raw pixel or the gain is outside the lanes' range: see
// in_range.
HWY_INLINE VU64 hp_lanes(const LumaConsts& c, int k, VI64 raw, const int32_t* gains, VU64& wild) {
  const DU64 du64;
  // A raw pixel of 24 bits or more (or below 0) sets a bit from 24 up.
  wild = hn::Or(wild, hn::BitCast(du64, raw));
  VU64 v;
  if (c.mesh) {
    const VI64 g = widen(hn::LoadU(DI32(), gains));
    // A gain below 0 sets the top bit; others are clear from bit 31 up.
    wild = hn::Or(wild, hn::And(hn::BitCast(du64, g), hn::Set(du64, uint64_t(1) << 63)));
    v = below_2_63_min(hn::ShiftRight<GainQ12::frac_bits - HighPrecQ8::frac_bits>(
                           mul_narrow(hn::BitCast(du64, raw), hn::BitCast(du64, g))),
                       kHpMax);
  } else {
    v = hn::ShiftLeft<HighPrecQ8::frac_bits>(hn::BitCast(du64, raw));
  }
  return below_2_63_min(hn::ShiftRight<GainQ12::frac_bits>(mul_narrow(v, hn::Set(du64, c.wb[k]))), kHpMax);
}

// Every raw pixel and gain hp_lanes took within the lanes' range.
HWY_INLINE bool in_range(VU64 wild) {
  const DU64 du64;
  return hn::AllTrue(du64, hn::Eq(hn::ShiftRight<kRawBits>(wild), hn::Zero(du64)));
}

// The mix of cells [begin, end) one at a time, into `luma`.
void mix_cells(const LumaConsts& c, const int32_t* top, const int32_t* bottom, const int32_t* mesh, uint32_t* luma,
               size_t begin, size_t end) {
  for (size_t cc = begin; cc < end; ++cc) {
    uint64_t hp[4];
    cell_hp(c, top, bottom, mesh, int(cc), hp);
    luma[cc] = cell_mix(c, hp);
  }
}

// LUT 1 and dither over a row of mixes, in place, 32 bits a lane.
void lut_dither_cells(const LumaConsts& c, const uint16_t* words, uint32_t* luma) {
  const hn::ScalableTag<int32_t> di;
  const hn::RebindToUnsigned<decltype(di)> du;
  const hn::Rebind<uint16_t, decltype(di)> d16;
  const size_t n = hn::Lanes(di);
  const size_t lc = size_t(c.luma_cols);
  const auto top = hn::Set(du, kLumaMax);
  const LutLanes<decltype(di)> lut1(di, *c.lut1);
  size_t cc = 0;
  for (; cc + n <= lc; cc += n) {
    auto v = hn::BitCast(du, lut1(di, hn::BitCast(di, hn::LoadU(du, luma + cc))));
    if (c.dither) {
      const auto word = hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d16, words + cc)));
      const auto masked = hn::And(word, hn::Set(di, int32_t(c.dither->mask())));
      auto value = hn::Zero(di);
      if (c.dither_sign_bit >= 0) {
        // The value worked out from the word instead of looked up.
        value = masked;
        if (c.dither_sign_bit > 0) {
          const auto sign = hn::Set(di, c.dither_sign_bit);
          const auto negative = hn::Not(hn::And(masked, hn::Sub(sign, hn::Set(di, 1))));
          value = hn::IfThenElse(hn::RebindMask(di, hn::Eq(hn::And(masked, sign), sign)), negative, masked);
        }
        value = hn::ShiftLeftSame(value, c.dither_shift);
      } else {
        value = hn::GatherIndex(di, c.dither_shifted, masked);
      }
      // A positive value adds; a negative one subtracts down to 0.
      const auto down = hn::BitCast(du, hn::Neg(value));
      const auto added = hn::Add(hn::Min(v, top), hn::BitCast(du, value));
      const auto taken = hn::Sub(hn::Max(v, down), down);
      v = hn::IfThenElse(hn::RebindMask(du, hn::Lt(value, hn::Zero(di))), taken, added);
    }
    hn::StoreU(hn::Min(v, top), du, luma + cc);
  }
  for (; cc < lc; ++cc) luma[cc] = cell_lut_dither(c, luma[cc], c.dither ? words[cc] : 0);
}

int64_t log_cells(const LumaConsts& c, const uint32_t* luma, int32_t* log, uint16_t* log16) {
  const hn::ScalableTag<int32_t> di;
  const hn::Rebind<uint16_t, decltype(di)> d16;
  const size_t n = hn::Lanes(di);
  const size_t lc = size_t(c.luma_cols);
  const auto top16 = hn::Set(di, int32_t(UINT16_MAX));
  auto largest = hn::Zero(di);
  size_t cc = 0;
  for (; cc + n <= lc; cc += n) {
    const auto l =
        log_lookup(di, *c.log_table, c.log_offset_fixed, hn::LoadU(di, reinterpret_cast<const int32_t*>(luma) + cc));
    hn::StoreU(l, di, log + cc);
    if (log16) hn::StoreU(hn::DemoteTo(d16, hn::Min(l, top16)), d16, log16 + cc);
    largest = hn::Max(largest, l);
  }
  int64_t largest_scalar = hn::GetLane(hn::MaxOfLanes(di, largest));
  for (; cc < lc; ++cc) {
    log[cc] = cell_log(c, luma[cc], largest_scalar);
    if (log16) log16[cc] = log_to_16(log[cc]);
  }
  return largest_scalar;
}

int64_t LumaRow(const LumaConsts& c, const int32_t* top, const int32_t* bottom, const int32_t* mesh,
                const uint16_t* words, uint32_t* luma, int32_t* log, uint16_t* log16) {
  if (!luma_in_lanes(c)) return luma_cells(c, top, bottom, mesh, words, luma, log, log16, 0, c.luma_cols);
  const D d;
  const DI64 di64;
  const DU64 du64;
  const size_t n = hn::Lanes(d);
  const size_t lc = size_t(c.luma_cols);
  const hn::Repartition<int32_t, DI64> dwide;
  const VI64 hp_max = hn::Set(di64, int64_t(kHpMax));
  hn::Vec<decltype(dwide)> ccm[9];
  for (int k = 0; k < 9; ++k) ccm[k] = hn::BitCast(dwide, hn::Set(di64, c.ccm[k]));
  VU64 lw[4];
  for (int k = 0; k < 4; ++k) lw[k] = hn::Set(du64, c.lw[k]);
  // Three passes over the row, each with a short chain per vector so the
  // processor overlaps many vectors' gathers: the mix, LUT 1 and dither,
  // the log. The row stays in cache between them.
  size_t cc = 0;
  for (; cc + n <= lc; cc += n) {
    fetch_ahead(top + 2 * cc);
    fetch_ahead(bottom + 2 * cc);
    const PixelPair t = load_pairs(top + 2 * cc), b = load_pairs(bottom + 2 * cc);
    const VI64 raw[4] = {t.even, t.odd, b.even, b.odd};
    VU64 wild = hn::Zero(DU64());
    VU64 hp[4];
    for (int k = 0; k < 4; ++k) hp[k] = hp_lanes(c, k, raw[k], c.mesh ? mesh + size_t(k) * lc + cc : nullptr, wild);
    if (!in_range(wild)) {
      mix_cells(c, top, bottom, mesh, luma, cc, cc + n);
      continue;
    }
    // Colours below 2^28 times 32-bit matrix entries: exact 64-bit
    // products, and an arithmetic shift equals the truncating division
    // wherever the clamp keeps the value.
    const VI64 rgb[3] = {hn::BitCast(di64, hp[c.pos_r]),
                         hn::BitCast(di64, hn::ShiftRight<1>(hn::Add(hp[c.pos_g1], hp[c.pos_g2]))),
                         hn::BitCast(di64, hp[c.pos_b])};
    VU64 m[3];
    for (int k = 0; k < 3; ++k) {
      VI64 acc = hn::MulEven(hn::BitCast(dwide, rgb[0]), ccm[3 * k]);
      acc = hn::Add(acc, hn::MulEven(hn::BitCast(dwide, rgb[1]), ccm[3 * k + 1]));
      acc = hn::Add(acc, hn::MulEven(hn::BitCast(dwide, rgb[2]), ccm[3 * k + 2]));
      const VI64 v = hn::ShiftRight<GainQ12::frac_bits>(acc);
      m[k] = hn::BitCast(du64, hn::Min(hn::Max(v, hn::Zero(di64)), hp_max));
    }
    const VU64 mx =
        hn::BitCast(du64, hn::Max(hn::BitCast(di64, m[0]), hn::Max(hn::BitCast(di64, m[1]), hn::BitCast(di64, m[2]))));
    VU64 y = mul_narrow(m[0], lw[0]);
    y = hn::Add(y, mul_narrow(m[1], lw[1]));
    y = hn::Add(y, mul_narrow(m[2], lw[2]));
    y = hn::Add(y, mul_narrow(mx, lw[3]));
    y = below_2_63_min(hn::ShiftRight<LumaWeightQ16::frac_bits>(y), kLumaMax);
    hn::StoreU(narrow(y), DU32(), luma + cc);
  }
  mix_cells(c, top, bottom, mesh, luma, cc, lc);
  lut_dither_cells(c, words, luma);
  return c.log_table ? log_cells(c, luma, log, log16) : 0;
}

// White balance within the range of the corrected-frame lanes.
bool wb_in_lanes(const LumaConsts& c) {
  for (int k = 0; k < 4; ++k)
    if (c.wb[k] > uint64_t(INT32_MAX)) return false;
  return true;
}

void CorrectedRow(const LumaConsts& c, int width, bool bottom, const int32_t* raw, const int32_t* mesh, int32_t* out) {
  const D d;
  const DI64 di64;
  const size_t n = hn::Lanes(d);
  const size_t lc = size_t(c.luma_cols);
  const bool lanes = wb_in_lanes(c);
  const int k0 = bottom ? 2 : 0;
  size_t cc = 0;
  if (lanes) {
    for (; cc + n <= lc && 2 * (cc + n) <= size_t(width); cc += n) {
      fetch_ahead(raw + 2 * cc);
      const PixelPair px = load_pairs(raw + 2 * cc);
      VU64 wild = hn::Zero(DU64());
      const VU64 even = hp_lanes(c, k0, px.even, c.mesh ? mesh + size_t(k0) * lc + cc : nullptr, wild);
      const VU64 odd = hp_lanes(c, k0 + 1, px.odd, c.mesh ? mesh + size_t(k0 + 1) * lc + cc : nullptr, wild);
      if (!in_range(wild)) {
        corrected_pixels(c, bottom, raw, mesh, out, int(2 * cc), int(2 * (cc + n)));
        continue;
      }
      store_pairs(hn::ShiftRight<HighPrecQ8::frac_bits>(even), hn::ShiftRight<HighPrecQ8::frac_bits>(odd),
                  out + 2 * cc);
    }
  }
  corrected_pixels(c, bottom, raw, mesh, out, int(2 * cc), width);
}

// ---- Gains and output ---------------------------------------------------------------

// (gain * strength + linear share) >> 4, wrapping like mix_strength.
HWY_INLINE VU64 mix_lanes(VU64 gain, uint16_t tm_strength, int unity_shift) {
  const DU64 du64;
  const uint64_t linear_share = uint64_t(int64_t(16) - tm_strength) << unity_shift;
  return hn::ShiftRight<4>(hn::Add(hn::Mul(gain, hn::Set(du64, uint64_t(tm_strength))), hn::Set(du64, linear_share)));
}

HWY_INLINE VD divisor_lanes(VU32 luma) {
  const DI32 di32;
  const VI32 q = hn::Max(hn::BitCast(di32, hn::ShiftRight<2>(luma)), hn::Set(di32, 1));
  return hn::PromoteTo(D(), q);
}

// The bin and the fraction of a lane of log values, as eval_curve splits them.
struct CurvePoint {
  VI64 idx, frac;
};

HWY_INLINE CurvePoint curve_point(VI32 value, VI32 last_bin) {
  const DI32 di32;
  return {widen(hn::Min(hn::ShiftRight<8>(value), last_bin)), widen(hn::And(value, hn::Set(di32, 255)))};
}

// eval_curve at a lane of points, in 64-bit unsigned arithmetic; one gather
// fetches each entry with its slope. `scale` is out_max + 1.
HWY_INLINE VU64 curve_lanes(const CurvePoint& at, const int64_t* pairs, VU64 scale, uint64_t out_max) {
  const DI64 di64;
  const DU64 du64;
  const VI64 pair = hn::GatherIndex(di64, pairs, at.idx);
  const VI64 curve = hn::ShiftRight<32>(pair);
  // frac below 2^8 and the slope's low half: the signed 32-bit product is exact.
  const VI64 step = hn::MulEven(hn::BitCast(hn::Repartition<int32_t, DI64>(), at.frac),
                                hn::BitCast(hn::Repartition<int32_t, DI64>(), pair));
  const VU64 inner = hn::BitCast(du64, hn::Add(hn::ShiftLeft<8>(curve), step));
  return below_2_63_min(hn::ShiftRight<32>(hn::Mul(inner, scale)), out_max);
}

void LocalGainRow(const Geometry& g, const LocalGainInputs& in, uint16_t tm_strength, int r, uint64_t* gain_row,
                  int32_t* log_row) {
  const D d;
  const DI32 di32;
  const DU32 du32;
  const DU64 du64;
  const DI64 di64;
  const int n = int(hn::Lanes(d));
  if (g.half < n || !in.log_fits_int32 || !in.curve_pairs) {
    local_gain_cells(g, in, tm_strength, r, gain_row, 0, g.luma_cols);
    return;
  }
  const int half = g.half;
  const int half_log2 = g.block_log2 - 1;
  const int blend_shift = 2 * g.block_log2;
  const int edge_shift = blend_shift + 10;
  const int R = r >> half_log2;
  const int i = r & (half - 1);
  const bool row_inner = R >= 1 && R <= g.block_rows - 1;
  const size_t row_base = size_t(r) * g.luma_cols;
  const int32_t* lut2 = in.lut2;
  const int64_t* pairs = in.curve_pairs;
  const uint64_t out_max = in.out_max;
  const VI32 last_bin = hn::Set(di32, in.bins - 1);
  const VU64 curve_scale = hn::Set(du64, out_max + 1);
  const VD one_q14 = hn::Set(d, double(ToneGainQ14::one));
  // The log values kept from the luminance pass, or worked out again
  // first, in a pass of their own: their gathers then overlap instead of
  // waiting at the head of each vector's chain.
  const uint16_t* log16 = in.log16 ? in.log16 + row_base : nullptr;
  auto log_at = [&](int c) {
    if (log16) return hn::BitCast(di32, hn::PromoteTo(du32, hn::LoadU(DU16(), log16 + c)));
    return hn::LoadU(di32, log_row + c);
  };
  if (!log16) {
    const hn::ScalableTag<int32_t> dw;
    const int w = int(hn::Lanes(dw));
    int c = 0;
    for (; c + w <= g.luma_cols; c += w) {
      fetch_ahead(in.luma + row_base + c);
      const auto luma = hn::LoadU(dw, reinterpret_cast<const int32_t*>(in.luma) + row_base + c);
      hn::StoreU(log_lookup(dw, *in.log_table, in.log_offset_fixed, luma), dw, log_row + c);
    }
    for (; c < g.luma_cols; ++c)
      log_row[c] = int32_t(
          std::min<int64_t>(log_luminance(*in.log_table, in.luma[row_base + c], in.log_offset_fixed), INT32_MAX));
  }
  auto window = [&](int br, int bc) { return (size_t(br) * g.block_cols + bc) * in.bins; };
  for (int C = 0; C < g.span_cols(); ++C) {
    const int c_begin = C * half;
    const int c_end = std::min(c_begin + half, g.luma_cols);
    const bool col_inner = C >= 1 && C <= g.block_cols - 1;
    // Window of each weight slot, as the interior layout has them; -1 unused.
    long win[4] = {-1, -1, -1, -1};
    enum { interior, top, bottom, left, right, single } kind;
    if (row_inner && col_inner) {
      kind = interior;
      win[0] = long(window(R, C));
      win[1] = long(window(R, C - 1));
      win[2] = long(window(R - 1, C));
      win[3] = long(window(R - 1, C - 1));
    } else if (col_inner) {
      kind = R == 0 ? top : bottom;
      const int wr = R == 0 ? 0 : R - 1;
      win[R == 0 ? 0 : 2] = long(window(wr, C));
      win[R == 0 ? 1 : 3] = long(window(wr, C - 1));
    } else if (row_inner) {
      kind = C == 0 ? left : right;
      win[C == 0 ? 0 : 1] = long(window(R, C == 0 ? 0 : C - 1));
      win[C == 0 ? 2 : 3] = long(window(R - 1, C == 0 ? 0 : C - 1));
    } else {
      kind = single;
      win[0] = long(window(R == 0 ? 0 : g.block_rows - 1, C == 0 ? 0 : g.block_cols - 1));
    }
    const int64_t* curve_of[4];
    const uint32_t* weight_of[4];
    for (int s = 0; s < 4; ++s) {
      curve_of[s] = win[s] < 0 ? nullptr : pairs + win[s];
      weight_of[s] = in.weights->plane_row(s, i);
    }
    int c = c_begin;
    for (; c + n <= c_end; c += n) {
      const int j = c - c_begin;
      const CurvePoint at = curve_point(log_at(c), last_bin);
      VU64 f[4], w[4];
      for (int s = 0; s < 4; ++s) {
        if (!curve_of[s]) continue;
        f[s] = curve_lanes(at, curve_of[s], curve_scale, out_max);
        w[s] = widen(hn::LoadU(du32, weight_of[s] + j));
      }
      auto pair = [&](int a, int b) { return hn::Add(mul_narrow(w[a], f[a]), mul_narrow(w[b], f[b])); };
      VU64 v;
      switch (kind) {
        case interior:
          v = hn::ShiftRightSame(hn::Add(pair(0, 1), pair(2, 3)), blend_shift);
          break;
        case top:
          v = hn::ShiftRightSame(hn::Mul(pair(1, 0), hn::Set(du64, uint64_t(in.norms[i]))), edge_shift);
          break;
        case bottom:
          v = hn::ShiftRightSame(hn::Mul(pair(3, 2), hn::Set(du64, uint64_t(in.norms[half - 1 - i]))), edge_shift);
          break;
        case left:
          v = hn::ShiftRightSame(hn::Mul(pair(2, 0), widen(hn::LoadU(du32, in.norms + j))), edge_shift);
          break;
        case right: {
          // The norm mirrored across the span: norms[half - 1 - j].
          const VI32 mirrored = hn::Sub(hn::Set(di32, half - 1 - j), hn::Iota(di32, 0));
          const VU32 norm =
              hn::BitCast(du32, hn::GatherIndex(di32, reinterpret_cast<const int32_t*>(in.norms), mirrored));
          v = hn::ShiftRightSame(hn::Mul(pair(3, 1), widen(norm)), edge_shift);
          break;
        }
        default:
          v = f[0];
          break;
      }
      hn::StoreU(v, du64, gain_row + c);
    }
    // LUT 2 and the division over the span's blended values, in a pass
    // of their own for the same reason as the log values.
    for (int k = c_begin; k < c; k += n) {
      const VU32 luma = hn::LoadU(du32, in.luma + row_base + k);
      const VU64 v = hn::LoadU(du64, gain_row + k);
      const VI32 lut_value = hn::GatherIndex(di32, lut2, hn::BitCast(di32, narrow(v)));
      const VD gain = hn::Floor(hn::Div(hn::Mul(hn::PromoteTo(d, lut_value), one_q14), divisor_lanes(luma)));
      const VU64 mixed = mix_lanes(hn::BitCast(du64, hn::ConvertTo(di64, gain)), tm_strength, g.unity_shift);
      hn::StoreU(mixed, du64, gain_row + k);
    }
    if (c < c_end) local_gain_cells(g, in, tm_strength, r, gain_row, c, c_end);
  }
}

void GlobalGainRow(const Geometry& g, const uint32_t* luma, const LutReader& lut3, uint16_t tm_strength, int r,
                   uint64_t* gain_row, int32_t* scratch) {
  if (!lut_in_lanes(lut3)) {
    global_gain_row(g, luma, lut3, tm_strength, r, gain_row);
    return;
  }
  const D d;
  const DU32 du32;
  const DU64 du64;
  const DI64 di64;
  const size_t n = hn::Lanes(d);
  const size_t lc = size_t(g.luma_cols);
  const uint32_t* row = luma + size_t(r) * lc;
  uint32_t* scaled = reinterpret_cast<uint32_t*>(scratch);
  // LUT 3 over the row first, 32 bits a lane; then the divisions.
  {
    const hn::ScalableTag<int32_t> dw;
    const size_t w = hn::Lanes(dw);
    const LutLanes<decltype(dw)> lut(dw, lut3);
    size_t c = 0;
    for (; c + w <= lc; c += w) {
      fetch_ahead(row + c);
      const auto y = hn::LoadU(dw, reinterpret_cast<const int32_t*>(row) + c);
      hn::StoreU(hn::ShiftLeft<ToneGainQ14::frac_bits>(lut(dw, y)), dw, scratch + c);
    }
    for (; c < lc; ++c) scaled[c] = uint32_t(lut3[row[c]]) << ToneGainQ14::frac_bits;
  }
  size_t c = 0;
  for (; c + n <= lc; c += n) {
    const VU32 y = hn::LoadU(du32, row + c);
    // 32-bit operands: the truncated double quotient is the integer one.
    const VD num = hn::ConvertTo(d, hn::BitCast(di64, widen(hn::LoadU(du32, scaled + c))));
    const VD quotient = hn::Trunc(hn::Div(num, divisor_lanes(y)));
    hn::StoreU(mix_lanes(hn::BitCast(du64, hn::ConvertTo(di64, quotient)), tm_strength, g.unity_shift), du64,
               gain_row + c);
  }
  for (; c < lc; ++c) gain_row[c] = global_cell_gain(row[c], lut3[row[c]], tm_strength, g.unity_shift);
}

// The pixels the gains apply to: the row as it is ...
struct RawSource {
  const int32_t* s;
  int32_t operator()(int x) const { return s[x]; }
  // Pixels 2c .. 2c + 2n; false where the lanes cannot hold them.
  HWY_INLINE bool lanes(size_t c, PixelPair& px) const {
    fetch_ahead(s + 2 * c);
    px = load_pairs(s + 2 * c);
    return true;
  }
};

// ... or corrected on the way, as CorrectedRow.
struct CorrectedSource {
  const LumaConsts& c;
  bool bottom;
  const int32_t* raw;
  const int32_t* mesh;
  bool in_lanes;  // white balance within the lanes' range

  int32_t operator()(int x) const { return corrected_pixel(c, bottom, raw, mesh, x); }
  HWY_INLINE bool lanes(size_t cc, PixelPair& px) const {
    if (!in_lanes) return false;
    const DI64 di64;
    const size_t n = hn::Lanes(di64);
    const size_t lc = size_t(c.luma_cols);
    const int k0 = bottom ? 2 : 0;
    fetch_ahead(raw + 2 * cc);
    const PixelPair r = load_pairs(raw + 2 * cc);
    VU64 wild = hn::Zero(DU64());
    const VU64 even = hp_lanes(c, k0, r.even, c.mesh ? mesh + size_t(k0) * lc + cc : nullptr, wild);
    const VU64 odd = hp_lanes(c, k0 + 1, r.odd, c.mesh ? mesh + size_t(k0 + 1) * lc + cc : nullptr, wild);
    if (!in_range(wild)) return false;
    px.even = hn::BitCast(di64, hn::ShiftRight<HighPrecQ8::frac_bits>(even));
    px.odd = hn::BitCast(di64, hn::ShiftRight<HighPrecQ8::frac_bits>(odd));
    return true;
  }
};

template <typename Source>
void apply_gain_lanes(const Geometry& g, const uint64_t* own, const uint64_t* vert, const Source& source,
                      uint32_t out_max, int32_t* dst, uint64_t* column) {
  if (!vert) {
    apply_gain_pixels(g, own, vert, source, out_max, dst, column);
    return;
  }
  const D d;
  const DU64 du64;
  const size_t n = hn::Lanes(d);
  const int lc = g.luma_cols;
  size_t cx = 0;
  for (; cx + n <= size_t(lc); cx += n) {
    const VU64 a = hn::LoadU(du64, own + cx);
    hn::StoreU(hn::Add(hn::Add(hn::Add(a, a), a), hn::LoadU(du64, vert + cx)), du64, column + cx);
  }
  for (; cx < size_t(lc); ++cx) column[cx] = kSideWeight * own[cx] + kDiagonalWeight * vert[cx];

  // Cells 1 .. lc - 2 have both neighbours: both their pixels in lanes.
  // Those the vectors leave over are the last ones of one more vector,
  // which overlaps the one before: its pixels are read before any is
  // written, as the row may be overwritten in place.
  const int tail = lc - 1 - int(n);
  PixelPair tail_px;
  const bool tail_in_lanes = (lc - 2) % int(n) != 0 && tail >= 1 && source.lanes(size_t(tail), tail_px);
  border_pixel(own, vert, lc, source, 0, out_max, dst);
  if (g.width > 1) border_pixel(own, vert, lc, source, g.width - 1, out_max, dst);
  const VU64 low32 = hn::Set(du64, 0xFFFFFFFFull);
  auto scale = [&](VI64 src, VU64 gain) {
    const VU64 v = hn::ShiftRight<ToneGainQ14::frac_bits>(hn::Mul(hn::BitCast(du64, src), gain));
    return below_2_63_min(hn::And(v, low32), out_max);
  };
  auto write_cells = [&](int c, const PixelPair& px) {
    const VU64 mid = hn::LoadU(du64, column + c);
    const VU64 mid3 = hn::Add(hn::Add(mid, mid), mid);
    const VU64 ge = hn::ShiftRight<4>(hn::Add(mid3, hn::LoadU(du64, column + c - 1)));
    const VU64 go = hn::ShiftRight<4>(hn::Add(mid3, hn::LoadU(du64, column + c + 1)));
    store_pairs(scale(px.even, ge), scale(px.odd, go), dst + 2 * c);
  };
  int c = 1;
  for (; c + int(n) <= lc - 1; c += int(n)) {
    PixelPair px;
    if (!source.lanes(size_t(c), px)) {
      for (int e = c; e < c + int(n); ++e) {
        inner_even_pixel(column, source, e, out_max, dst);
        inner_odd_pixel(column, source, e, out_max, dst);
      }
      continue;
    }
    write_cells(c, px);
  }
  if (tail_in_lanes) {
    write_cells(tail, tail_px);
    c = lc - 1;
  }
  for (int e = c; e < lc; ++e) inner_even_pixel(column, source, e, out_max, dst);
  for (int o = c; o < lc - 1; ++o) inner_odd_pixel(column, source, o, out_max, dst);
  if (lc >= 2) inner_odd_pixel(column, source, 0, out_max, dst);
}

void ApplyGainRow(const Geometry& g, const uint64_t* own, const uint64_t* vert, const int32_t* s, uint32_t out_max,
                  int32_t* dst, uint64_t* column) {
  apply_gain_lanes(g, own, vert, RawSource{s}, out_max, dst, column);
}

void ApplyCorrectedRow(const LumaConsts& c, bool bottom, const int32_t* mesh, const Geometry& g, const uint64_t* own,
                       const uint64_t* vert, const int32_t* raw, uint32_t out_max, int32_t* dst, uint64_t* column) {
  apply_gain_lanes(g, own, vert, CorrectedSource{c, bottom, raw, mesh, wb_in_lanes(c)}, out_max, dst, column);
}

}  // namespace

const Kernels* KernelTable() {
  static const Kernels k = {hwy::TargetName(HWY_TARGET),
                            MeshGains,
                            LumaRow,
                            CorrectedRow,
                            LocalGainRow,
                            GlobalGainRow,
                            ApplyGainRow,
                            ApplyCorrectedRow};
  return &k;
}
#else
const Kernels* KernelTable() { return &scalar_kernels(); }
#endif

}  // namespace HWY_NAMESPACE
}  // namespace tonewright
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <mutex>
#include <vector>

namespace tonewright {

HWY_EXPORT(KernelTable);

const Kernels& best_kernels() { return *HWY_DYNAMIC_DISPATCH(KernelTable)(); }

namespace {

// Every compiled table the processor runs, best first, then the plain one.
const std::vector<const Kernels*>& all_tables() {
  static std::once_flag once;
  static std::vector<const Kernels*> tables;
  std::call_once(once, [] {
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
      hwy::SetSupportedTargetsForTest(target);
      const Kernels* k = HWY_DYNAMIC_DISPATCH(KernelTable)();
      if (k != &scalar_kernels()) tables.push_back(k);
    }
    hwy::SetSupportedTargetsForTest(0);
    tables.push_back(&scalar_kernels());
  });
  return tables;
}

}  // namespace

int available_kernel_count() { return int(all_tables().size()); }
const Kernels& available_kernels(int index) { return *all_tables()[size_t(index)]; }

}  // namespace tonewright
#endif  // HWY_ONCE
