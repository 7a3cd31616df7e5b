#include "capture_format.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tuning {

namespace {

struct LayoutInfo {
  SampleLayout layout;
  const char* name;
  int bits;
  int group_pixels;  // pixels per packing group
  int group_bytes;   // bytes per packing group
};

constexpr LayoutInfo kLayoutInfo[] = {
    {SampleLayout::raw16, "raw16", 16, 1, 2},       {SampleLayout::raw16be, "raw16be", 16, 1, 2},
    {SampleLayout::raw16msb, "raw16msb", 16, 1, 2}, {SampleLayout::raw8, "raw8", 8, 1, 1},
    {SampleLayout::raw10p, "raw10p", 10, 4, 5},     {SampleLayout::raw12p, "raw12p", 12, 2, 3},
    {SampleLayout::raw14p, "raw14p", 14, 4, 7},     {SampleLayout::dng, "dng", 16, 1, 2},
};

const LayoutInfo& info(SampleLayout layout) {
  for (const auto& i : kLayoutInfo)
    if (i.layout == layout) return i;
  return kLayoutInfo[0];
}

constexpr int kMaxShift = 15;

}  // namespace

std::string_view sample_layout_name(SampleLayout layout) { return info(layout).name; }

std::optional<SampleLayout> sample_layout_from_name(std::string_view name) {
  for (const auto& i : kLayoutInfo)
    if (name == i.name) return i.layout;
  return std::nullopt;
}

int sample_layout_bits(SampleLayout layout) { return info(layout).bits; }

std::string CaptureFormat::text() const {
  std::string out(sample_layout_name(layout));
  if (stride != 0) out += " stride " + std::to_string(stride);
  if (header != 0) out += " header " + std::to_string(header);
  if (shift != 0) out += " shift " + std::to_string(shift);
  return out;
}

std::uint64_t packed_row_bytes(SampleLayout layout, std::int64_t width) {
  const LayoutInfo& i = info(layout);
  const auto w = static_cast<std::uint64_t>(width < 0 ? 0 : width);
  return (w + i.group_pixels - 1) / i.group_pixels * i.group_bytes;
}

void check_format(const CaptureFormat& format, std::int64_t width) {
  if (format.stride < 0)
    throw FormatError("capture stride must be 0 or a positive byte count, got " + std::to_string(format.stride));
  if (format.header < 0)
    throw FormatError("capture header must be 0 or a positive byte count, got " + std::to_string(format.header));
  if (format.shift < 0 || format.shift > kMaxShift)
    throw FormatError("capture shift must be 0.." + std::to_string(kMaxShift) + ", got " +
                      std::to_string(format.shift));
  if (format.shift != 0 && format.layout != SampleLayout::raw16msb)
    throw FormatError("capture shift applies to raw16msb only, got shift " + std::to_string(format.shift) + " with " +
                      std::string(sample_layout_name(format.layout)));
  const std::uint64_t row = packed_row_bytes(format.layout, width);
  if (format.stride != 0 && static_cast<std::uint64_t>(format.stride) < row)
    throw FormatError("capture stride " + std::to_string(format.stride) + " is shorter than a " +
                      std::string(sample_layout_name(format.layout)) + " row of " + std::to_string(width) +
                      " pixels (" + std::to_string(row) + " bytes)");
}

std::uint64_t row_stride_bytes(const CaptureFormat& format, std::int64_t width) {
  return format.stride != 0 ? static_cast<std::uint64_t>(format.stride) : packed_row_bytes(format.layout, width);
}

std::uint64_t capture_file_bytes(const CaptureFormat& format, std::int64_t width, std::int64_t height) {
  if (format.is_dng()) throw FormatError("a dng capture has no fixed file size");
  check_format(format, width);
  const auto rows = static_cast<std::uint64_t>(height < 0 ? 0 : height);
  // Sizes are checked before any arithmetic that uses them: a frame whose bytes do not fit in 64
  // bits would otherwise wrap to a small size that some file matches.
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(rows, row_stride_bytes(format, width), &bytes) ||
      __builtin_add_overflow(bytes, static_cast<std::uint64_t>(format.header), &bytes))
    throw FormatError("a " + std::to_string(width) + " x " + std::to_string(height) + " " +
                      std::string(sample_layout_name(format.layout)) + " frame needs more than 2^64 bytes");
  return bytes;
}

namespace {

template <int Groups, int Bytes, typename Unpack>
void unpack_groups(const std::uint8_t* src, std::uint16_t* dst, std::int64_t width, Unpack unpack) {
  const std::int64_t whole = width / Groups;
  for (std::int64_t g = 0; g < whole; ++g) unpack(src + g * Bytes, dst + g * Groups);
  const std::int64_t rest = width - whole * Groups;
  if (rest == 0) return;
  std::uint16_t tail[Groups];
  unpack(src + whole * Bytes, tail);
  std::memcpy(dst + whole * Groups, tail, static_cast<std::size_t>(rest) * sizeof(std::uint16_t));
}

template <int Groups, int Bytes, typename Pack>
void pack_groups(const std::uint16_t* src, std::uint8_t* dst, std::int64_t width, Pack pack) {
  const std::int64_t whole = width / Groups;
  for (std::int64_t g = 0; g < whole; ++g) pack(src + g * Groups, dst + g * Bytes);
  const std::int64_t rest = width - whole * Groups;
  if (rest == 0) return;
  std::uint16_t tail[Groups] = {};
  std::memcpy(tail, src + whole * Groups, static_cast<std::size_t>(rest) * sizeof(std::uint16_t));
  pack(tail, dst + whole * Bytes);
}

inline std::uint16_t load_le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// Packed rows unpack 8 pixels at a time with byte shuffles where the CPU has
// them: the high bytes and each pixel's low-bit byte are spread into 16-bit
// lanes, a per-lane multiply lines the low bits up, shifts and a mask finish.
// Returns how many pixels were unpacked; the caller does the rest.
#if defined(__x86_64__)
__attribute__((target("ssse3"))) std::int64_t unpack_10p_ssse3(const std::uint8_t* src, std::uint16_t* dst,
                                                               std::int64_t width, std::int64_t row_bytes) {
  const __m128i high = _mm_setr_epi8(0, -1, 1, -1, 2, -1, 3, -1, 5, -1, 6, -1, 7, -1, 8, -1);
  const __m128i low = _mm_setr_epi8(4, -1, 4, -1, 4, -1, 4, -1, 9, -1, 9, -1, 9, -1, 9, -1);
  const __m128i align = _mm_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1);  // pixel k's bits to bits 7-6
  const __m128i three = _mm_set1_epi16(3);
  std::int64_t x = 0;
  for (; x + 8 <= width && (x / 4) * 5 + 16 <= row_bytes; x += 8) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x / 4 * 5));
    const __m128i h = _mm_slli_epi16(_mm_shuffle_epi8(in, high), 2);
    const __m128i l = _mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(_mm_shuffle_epi8(in, low), align), 6), three);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_or_si128(h, l));
  }
  return x;
}

__attribute__((target("ssse3"))) std::int64_t unpack_12p_ssse3(const std::uint8_t* src, std::uint16_t* dst,
                                                               std::int64_t width, std::int64_t row_bytes) {
  const __m128i high = _mm_setr_epi8(0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1);
  const __m128i low = _mm_setr_epi8(2, -1, 2, -1, 5, -1, 5, -1, 8, -1, 8, -1, 11, -1, 11, -1);
  const __m128i align = _mm_setr_epi16(16, 1, 16, 1, 16, 1, 16, 1);  // pixel k's nibble to bits 7-4
  const __m128i nibble = _mm_set1_epi16(0xF);
  std::int64_t x = 0;
  for (; x + 8 <= width && (x / 2) * 3 + 16 <= row_bytes; x += 8) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x / 2 * 3));
    const __m128i h = _mm_slli_epi16(_mm_shuffle_epi8(in, high), 4);
    const __m128i l = _mm_and_si128(_mm_srli_epi16(_mm_mullo_epi16(_mm_shuffle_epi8(in, low), align), 4), nibble);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), _mm_or_si128(h, l));
  }
  return x;
}

const bool kHasShuffles = __builtin_cpu_supports("ssse3");
#else
std::int64_t unpack_10p_ssse3(const std::uint8_t*, std::uint16_t*, std::int64_t, std::int64_t) { return 0; }
std::int64_t unpack_12p_ssse3(const std::uint8_t*, std::uint16_t*, std::int64_t, std::int64_t) { return 0; }
constexpr bool kHasShuffles = false;
#endif

}  // namespace

void unpack_row(const CaptureFormat& format, const std::uint8_t* src, std::uint16_t* dst, std::int64_t width) {
  switch (format.layout) {
    case SampleLayout::raw16:
    case SampleLayout::dng:
      std::memcpy(dst, src, static_cast<std::size_t>(width) * sizeof(std::uint16_t));
      return;
    case SampleLayout::raw16be:
      for (std::int64_t x = 0; x < width; ++x) dst[x] = static_cast<std::uint16_t>((src[2 * x] << 8) | src[2 * x + 1]);
      return;
    case SampleLayout::raw16msb: {
      const int shift = format.shift;
      for (std::int64_t x = 0; x < width; ++x) dst[x] = static_cast<std::uint16_t>(load_le16(src + 2 * x) >> shift);
      return;
    }
    case SampleLayout::raw8:
      for (std::int64_t x = 0; x < width; ++x) dst[x] = src[x];
      return;
    case SampleLayout::raw10p: {
      // Whole groups only, so the rest starts on a group.
      const std::int64_t done =
          kHasShuffles
              ? unpack_10p_ssse3(src, dst, width, static_cast<std::int64_t>(packed_row_bytes(format.layout, width)))
              : 0;
      src += done / 4 * 5;
      dst += done;
      width -= done;
      unpack_groups<4, 5>(src, dst, width, [](const std::uint8_t* b, std::uint16_t* d) {
        const unsigned low = b[4];
        d[0] = static_cast<std::uint16_t>((b[0] << 2) | (low & 3));
        d[1] = static_cast<std::uint16_t>((b[1] << 2) | ((low >> 2) & 3));
        d[2] = static_cast<std::uint16_t>((b[2] << 2) | ((low >> 4) & 3));
        d[3] = static_cast<std::uint16_t>((b[3] << 2) | (low >> 6));
      });
      return;
    }
    case SampleLayout::raw12p: {
      const std::int64_t done =
          kHasShuffles
              ? unpack_12p_ssse3(src, dst, width, static_cast<std::int64_t>(packed_row_bytes(format.layout, width)))
              : 0;
      src += done / 2 * 3;
      dst += done;
      width -= done;
      unpack_groups<2, 3>(src, dst, width, [](const std::uint8_t* b, std::uint16_t* d) {
        d[0] = static_cast<std::uint16_t>((b[0] << 4) | (b[2] & 0xF));
        d[1] = static_cast<std::uint16_t>((b[1] << 4) | (b[2] >> 4));
      });
      return;
    }
    case SampleLayout::raw14p:
      unpack_groups<4, 7>(src, dst, width, [](const std::uint8_t* b, std::uint16_t* d) {
        const std::uint32_t low = b[4] | (b[5] << 8) | (static_cast<std::uint32_t>(b[6]) << 16);
        for (int i = 0; i < 4; ++i) d[i] = static_cast<std::uint16_t>((b[i] << 6) | ((low >> (6 * i)) & 0x3F));
      });
      return;
  }
}

std::uint32_t largest_storable_sample(const CaptureFormat& format) {
  if (format.layout == SampleLayout::raw16msb) return 0xFFFFu >> format.shift;
  return (1u << sample_layout_bits(format.layout)) - 1;
}

void pack_row(const CaptureFormat& format, const std::uint16_t* src, std::uint8_t* dst, std::int64_t width) {
  switch (format.layout) {
    case SampleLayout::raw16:
    case SampleLayout::dng:
      std::memcpy(dst, src, static_cast<std::size_t>(width) * sizeof(std::uint16_t));
      return;
    case SampleLayout::raw16be:
      for (std::int64_t x = 0; x < width; ++x) {
        dst[2 * x] = static_cast<std::uint8_t>(src[x] >> 8);
        dst[2 * x + 1] = static_cast<std::uint8_t>(src[x]);
      }
      return;
    case SampleLayout::raw16msb:
      for (std::int64_t x = 0; x < width; ++x) {
        const auto v = static_cast<std::uint16_t>(src[x] << format.shift);
        dst[2 * x] = static_cast<std::uint8_t>(v);
        dst[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
      }
      return;
    case SampleLayout::raw8:
      for (std::int64_t x = 0; x < width; ++x) dst[x] = static_cast<std::uint8_t>(src[x]);
      return;
    case SampleLayout::raw10p:
      pack_groups<4, 5>(src, dst, width, [](const std::uint16_t* s, std::uint8_t* b) {
        unsigned low = 0;
        for (int i = 0; i < 4; ++i) {
          b[i] = static_cast<std::uint8_t>(s[i] >> 2);
          low |= (s[i] & 3u) << (2 * i);
        }
        b[4] = static_cast<std::uint8_t>(low);
      });
      return;
    case SampleLayout::raw12p:
      pack_groups<2, 3>(src, dst, width, [](const std::uint16_t* s, std::uint8_t* b) {
        b[0] = static_cast<std::uint8_t>(s[0] >> 4);
        b[1] = static_cast<std::uint8_t>(s[1] >> 4);
        b[2] = static_cast<std::uint8_t>((s[0] & 0xFu) | ((s[1] & 0xFu) << 4));
      });
      return;
    case SampleLayout::raw14p:
      pack_groups<4, 7>(src, dst, width, [](const std::uint16_t* s, std::uint8_t* b) {
        std::uint32_t low = 0;
        for (int i = 0; i < 4; ++i) {
          b[i] = static_cast<std::uint8_t>(s[i] >> 6);
          low |= (s[i] & 0x3Fu) << (6 * i);
        }
        b[4] = static_cast<std::uint8_t>(low);
        b[5] = static_cast<std::uint8_t>(low >> 8);
        b[6] = static_cast<std::uint8_t>(low >> 16);
      });
      return;
  }
}

}  // namespace tuning
