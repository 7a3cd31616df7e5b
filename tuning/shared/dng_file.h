// Uncompressed CFA DNG captures: the reader (through libtiff) and a writer of
// plain DNG files that common raw converters open.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"
#include "model.h"
#include "raw_capture.h"

namespace tuning {

// A file that is no usable DNG: not a TIFF, a TIFF without DNGVersion, a
// missing or malformed tag, compressed or non-CFA data (host: ValueError).
// The text names the file and, where one is at fault, the tag.
class DngError : public ShapeError {
 public:
  using ShapeError::ShapeError;
};

struct DngInfo {
  std::int64_t width = 0;
  std::int64_t height = 0;
  int bits = 16;  // BitsPerSample of the raw image
  CFAType cfa_type = CFAType::RGGB;
  std::vector<double> black_level{0.0};             // row-major over black_level_repeat_dim, in DN
  std::array<int, 2> black_level_repeat_dim{1, 1};  // rows, cols
  std::uint32_t white_level = 0;                    // in DN
  std::optional<double> exposure_time;              // seconds
  std::optional<double> iso;                        // ISO speed rating
  std::optional<double> analog_gain;                // times; this toolkit's own tag
};

struct DngFrame {
  DngInfo info;
  Samples samples;  // height * width, row-major, raw DN
  std::uint64_t file_bytes = 0;
};

// Where the raw image's samples lie: uncompressed strips or tiles (a strip
// is a block as wide as the image) at known offsets, row-major.
struct DngStorage {
  int bits = 16;
  bool byte_swapped = false;  // 16-bit samples in the other byte order
  bool tiled = false;
  std::int64_t block_width = 0;
  std::int64_t block_height = 0;
  std::vector<std::uint64_t> offsets;
};

// An opened DNG whose tags and storage have been checked; samples are read
// on demand, only the rows asked for, from any thread at once (pread).
class DngFile {
 public:
  explicit DngFile(const std::string& path);
  ~DngFile();
  DngFile(const DngFile&) = delete;
  DngFile& operator=(const DngFile&) = delete;

  const DngInfo& info() const { return info_; }
  std::uint64_t file_bytes() const { return file_bytes_; }
  // Rows [first_row, first_row + rows) into dest, width samples per row.
  void read_rows(std::int64_t first_row, std::int64_t rows, std::uint16_t* dest) const;

 private:
  std::string path_;
  int fd_ = -1;
  std::uint64_t file_bytes_ = 0;
  DngInfo info_;
  DngStorage storage_;
};

// The raw image of a DNG: IFD 0 or the SubIFD with NewSubFileType 0;
// 8/10/12/14/16 bits per sample, strips or tiles, one sample per pixel, a
// 2 x 2 CFA pattern. The file must be a regular file (never blocks).
DngFrame read_dng(const std::string& path);

// The tag under which the writer stores the analog gain (a DOUBLE in IFD 0):
// a private tag, as DNG and EXIF have none for it.
inline constexpr std::uint16_t kAnalogGainTag = 65400;

// TIFF field types the writer emits.
enum class TiffType : std::uint16_t {
  byte = 1,
  ascii = 2,
  short_ = 3,
  long_ = 4,
  rational = 5,
  undefined = 7,
  srational = 10,
  double_ = 12
};

// A tag added as given: count values of type, stored as little-endian bytes
// (for instance NoiseProfile as 2n doubles, OpcodeList1 as undefined bytes).
struct DngTag {
  std::uint16_t tag = 0;
  TiffType type = TiffType::undefined;
  std::uint32_t count = 0;
  std::vector<std::uint8_t> bytes;

  static DngTag doubles(std::uint16_t tag, const std::vector<double>& values);
  static DngTag raw_bytes(std::uint16_t tag, TiffType type, std::uint32_t count, std::vector<std::uint8_t> bytes);
};

struct DngWriteInfo {
  CFAType cfa_type = CFAType::RGGB;
  int bits = 16;                       // significant bits of the samples (every sample must fit)
  std::vector<double> black_level{0};  // one value, or four in CFA-cell order (BlackLevelRepeatDim 2 2)
  std::uint32_t white_level = 65535;
  std::optional<double> exposure_time;  // seconds
  std::optional<double> iso;
  std::optional<double> analog_gain;
  std::vector<DngTag> extra_tags;
  // How the samples are stored: 16 (the default container) or 8/10/12/14
  // bits packed, in one strip or in tiles of tile_size x tile_size (0 = strip).
  int stored_bits = 16;
  int tile_size = 0;
};

// Writes an uncompressed CFA DNG (DNGVersion 1.4; ExposureTime and
// ISOSpeedRatings in an EXIF IFD, where readers give them full precision) aside and renames it into
// place. ShapeError for a sample above 2^bits - 1 or an invalid setting.
void write_dng(const std::string& path, const std::uint16_t* frame, std::int64_t width, std::int64_t height,
               const DngWriteInfo& info);

}  // namespace tuning
