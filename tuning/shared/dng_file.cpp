#include "dng_file.h"

#include <tiffio.h>
#include <unistd.h>

#include <sys/stat.h>
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "atomic_file.h"

namespace tuning {

namespace {

// A black level pattern repeats over a few pixels (2 x 2 for a Bayer sensor); a repeat of
// millions is a malformed file, not a pattern to allocate for.
constexpr std::size_t kMaxBlackLevels = 4096;

}  // namespace

namespace {

constexpr std::uint16_t kPhotometricCfa = 32803;
constexpr std::uint16_t kTagExposureTime = 33434;
constexpr std::uint16_t kTagIsoSpeedRatings = 34855;
constexpr std::uint16_t kTagExifIfd = 34665;
constexpr int kCfaRed = 0, kCfaGreen = 1, kCfaBlue = 2;
// Bytes read from the file at a time: stays in cache until unpacked.
constexpr std::uint64_t kChunkBytes = std::uint64_t{256} << 10;

// CFAPattern bytes (0 red, 1 green, 2 blue) of the 2 x 2 layouts, row-major.
struct CfaPattern {
  CFAType type;
  std::array<std::uint8_t, 4> colours;
};
constexpr CfaPattern kCfaPatterns[] = {
    {CFAType::RGGB, {kCfaRed, kCfaGreen, kCfaGreen, kCfaBlue}},
    {CFAType::BGGR, {kCfaBlue, kCfaGreen, kCfaGreen, kCfaRed}},
    {CFAType::GBRG, {kCfaGreen, kCfaBlue, kCfaRed, kCfaGreen}},
    {CFAType::GRGB, {kCfaGreen, kCfaRed, kCfaBlue, kCfaGreen}},
};

bool supported_bits(int bits) { return bits == 8 || bits == 10 || bits == 12 || bits == 14 || bits == 16; }

std::uint64_t packed_bytes(std::int64_t samples, int bits) {
  return (static_cast<std::uint64_t>(samples) * static_cast<std::uint64_t>(bits) + 7) / 8;
}

// Closest fraction p/q to v with 32-bit terms whose error is within tolerance
// (relative), from the continued fraction of v.
std::pair<double, double> fraction_near(double v, double tolerance) {
  double h0 = 0, h1 = 1, k0 = 1, k1 = 0, x = v;
  for (int i = 0; i < 64; ++i) {
    const double a = std::floor(x);
    const double h2 = a * h1 + h0, k2 = a * k1 + k0;
    if (h2 > 4294967295.0 || k2 > 4294967295.0) break;
    h0 = h1;
    h1 = h2;
    k0 = k1;
    k1 = k2;
    if (std::fabs(h1 / k1 - v) <= v * tolerance || x - a < 1e-12) break;
    x = 1.0 / (x - a);
  }
  return {h1, k1};
}

// libtiff hands some rationals over as float; the simplest fraction within
// float precision gives back what was stored (1/30 rather than 0.033333335).
double widened_rational(float stored) {
  const double v = stored;
  if (!(std::fabs(v) > 0) || !std::isfinite(v)) return v;
  const auto [p, q] = fraction_near(std::fabs(v), 1.0 / (1 << 23));
  return std::copysign(p / q, v);
}

// ---- reading ---------------------------------------------------------------

// libtiff talks to an open descriptor through these; it never closes it, the
// reader does, whatever happens.
struct ClientFile {
  int fd;
  std::uint64_t size;
  std::string first_error;
};

tmsize_t client_read(thandle_t h, void* buf, tmsize_t size) {
  auto* f = static_cast<ClientFile*>(h);
  tmsize_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(f->fd, static_cast<char*>(buf) + got, static_cast<std::size_t>(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  return got;
}
tmsize_t client_write(thandle_t, void*, tmsize_t) { return -1; }
toff_t client_seek(thandle_t h, toff_t off, int whence) {
  return static_cast<toff_t>(::lseek(static_cast<ClientFile*>(h)->fd, static_cast<off_t>(off), whence));
}
int client_close(thandle_t) { return 0; }
toff_t client_size(thandle_t h) { return static_cast<ClientFile*>(h)->size; }
int client_map(thandle_t, void**, toff_t*) { return 0; }
void client_unmap(thandle_t, void*, toff_t) {}

int keep_first_error(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  auto* f = static_cast<ClientFile*>(user);
  if (f->first_error.empty()) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    f->first_error = std::string(module ? module : "") + (module ? ": " : "") + text;
  }
  return 1;
}
int ignore_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

// Samples of bits each, most significant bit first, every row starting on a byte.
void unpack_rows(const DngStorage& storage, const std::uint8_t* src, std::uint64_t src_row_bytes, std::int64_t rows,
                 std::int64_t cols, std::uint16_t* dst, std::int64_t dst_stride) {
  const int bits_ = storage.bits;
  for (std::int64_t y = 0; y < rows; ++y) {
    const std::uint8_t* in = src + static_cast<std::size_t>(y) * src_row_bytes;
    std::uint16_t* out = dst + y * dst_stride;
    if (bits_ == 16) {
      std::memcpy(out, in, static_cast<std::size_t>(cols) * 2);
      if (storage.byte_swapped)
        for (std::int64_t x = 0; x < cols; ++x) out[x] = static_cast<std::uint16_t>((out[x] >> 8) | (out[x] << 8));
    } else if (bits_ == 8) {
      for (std::int64_t x = 0; x < cols; ++x) out[x] = in[x];
    } else {
      std::uint64_t acc = 0;
      int have = 0;
      const std::uint32_t mask = (1u << bits_) - 1;
      for (std::int64_t x = 0; x < cols; ++x) {
        while (have < bits_) {
          acc = (acc << 8) | *in++;
          have += 8;
        }
        have -= bits_;
        out[x] = static_cast<std::uint16_t>((acc >> have) & mask);
      }
    }
  }
}

class DngReader {
 public:
  DngReader(const std::string& path, int fd, std::uint64_t size) : path_(path) {
    file_.fd = fd;
    file_.size = size;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, keep_first_error, &file_);
    TIFFOpenOptionsSetWarningHandlerExtR(options, ignore_warning, nullptr);
    tiff_ = TIFFClientOpenExt(path.c_str(), "rm", &file_, client_read, client_write, client_seek, client_close,
                              client_size, client_map, client_unmap, options);
    TIFFOpenOptionsFree(options);
    if (tiff_ == nullptr) {
      throw DngError(path + ": not a TIFF file, so no DNG" +
                     (file_.first_error.empty() ? std::string() : " (" + file_.first_error + ")"));
    }
  }
  ~DngReader() {
    if (tiff_ != nullptr) TIFFClose(tiff_);  // the descriptor stays open: it belongs to the caller
  }
  DngReader(const DngReader&) = delete;
  DngReader& operator=(const DngReader&) = delete;

  DngInfo read();

 private:
  [[noreturn]] void fail(const std::string& what) const { throw DngError(path_ + ": " + what); }
  std::optional<std::vector<double>> numbers(std::uint32_t tag) const;
  std::vector<double> required(std::uint32_t tag, const char* name, std::size_t count) const;
  void read_metadata(DngInfo& info) const;
  void find_raw_image();
  void read_image(DngFrame& frame);

  std::string path_;
  ClientFile file_{};
  TIFF* tiff_ = nullptr;

 public:
  DngStorage storage_;
};

// Any numeric tag as doubles, whatever type the field has in libtiff (known
// tags in their declared type, unknown ones as stored).
std::optional<std::vector<double>> DngReader::numbers(std::uint32_t tag) const {
  const TIFFField* field = TIFFFindField(tiff_, tag, TIFF_ANY);
  if (field == nullptr) return std::nullopt;
  const int read_count = TIFFFieldReadCount(field);
  const TIFFDataType type = TIFFFieldDataType(field);
  const int value_size = TIFFFieldSetGetSize(field);
  alignas(8) unsigned char scalar[8] = {};
  const void* data = nullptr;
  std::uint32_t count = 0;
  if (TIFFFieldPassCount(field) != 0) {
    if (read_count == TIFF_VARIABLE2) {
      std::uint32_t n = 0;
      if (TIFFGetField(tiff_, tag, &n, &data) != 1) return std::nullopt;
      count = n;
    } else {
      std::uint16_t n = 0;
      if (TIFFGetField(tiff_, tag, &n, &data) != 1) return std::nullopt;
      count = n;
    }
  } else if (read_count == 1) {
    if (TIFFGetField(tiff_, tag, scalar) != 1) return std::nullopt;
    data = scalar;
    count = 1;
  } else {
    if (read_count <= 0 || TIFFGetField(tiff_, tag, &data) != 1) return std::nullopt;
    count = static_cast<std::uint32_t>(read_count);
  }
  std::vector<double> out(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const auto* p = static_cast<const unsigned char*>(data) + static_cast<std::size_t>(i) * value_size;
    double v = 0;
    switch (type) {
      case TIFF_BYTE:
      case TIFF_UNDEFINED:
      case TIFF_ASCII:
        v = *p;
        break;
      case TIFF_SBYTE:
        v = static_cast<signed char>(*p);
        break;
      case TIFF_SHORT: {
        std::uint16_t x;
        std::memcpy(&x, p, 2);
        v = x;
        break;
      }
      case TIFF_SSHORT: {
        std::int16_t x;
        std::memcpy(&x, p, 2);
        v = x;
        break;
      }
      case TIFF_LONG:
      case TIFF_IFD: {
        std::uint32_t x;
        std::memcpy(&x, p, 4);
        v = x;
        break;
      }
      case TIFF_SLONG: {
        std::int32_t x;
        std::memcpy(&x, p, 4);
        v = x;
        break;
      }
      case TIFF_LONG8:
      case TIFF_IFD8: {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        v = static_cast<double>(x);
        break;
      }
      case TIFF_RATIONAL:
      case TIFF_SRATIONAL:
      case TIFF_FLOAT:
      case TIFF_DOUBLE:
        if (value_size == 4) {
          float x;
          std::memcpy(&x, p, 4);
          v = type == TIFF_FLOAT ? x : widened_rational(x);
        } else {
          double x;
          std::memcpy(&x, p, 8);
          v = x;
        }
        break;
      default:
        return std::nullopt;
    }
    out[i] = v;
  }
  return out;
}

std::vector<double> DngReader::required(std::uint32_t tag, const char* name, std::size_t count) const {
  auto values = numbers(tag);
  if (!values) fail(std::string("the raw image has no ") + name + " tag");
  if (count != 0 && values->size() != count)
    fail(std::string(name) + " holds " + std::to_string(values->size()) + " values, expected " + std::to_string(count));
  return *values;
}

// Exposure, ISO and gain may sit in IFD 0 or its EXIF IFD; the first found wins.
void DngReader::read_metadata(DngInfo& info) const {
  auto first = [&](std::uint32_t tag, std::optional<double>& out) {
    if (out) return;
    auto v = numbers(tag);
    if (v && !v->empty()) out = v->front();
  };
  first(kTagExposureTime, info.exposure_time);
  first(kTagIsoSpeedRatings, info.iso);
  first(kAnalogGainTag, info.analog_gain);
  toff_t exif = 0;
  if (TIFFGetField(tiff_, TIFFTAG_EXIFIFD, &exif) == 1 && exif != 0 && TIFFReadEXIFDirectory(tiff_, exif) == 1) {
    first(EXIFTAG_EXPOSURETIME, info.exposure_time);
    first(EXIFTAG_ISOSPEEDRATINGS, info.iso);
  }
}

void DngReader::find_raw_image() {
  TIFFSetDirectory(tiff_, 0);
  std::uint32_t kind = 0;
  if (TIFFGetField(tiff_, TIFFTAG_SUBFILETYPE, &kind) != 1 || kind == 0) return;
  std::uint16_t count = 0;
  const std::uint64_t* offsets = nullptr;
  if (TIFFGetField(tiff_, TIFFTAG_SUBIFD, &count, &offsets) == 1) {
    const std::vector<std::uint64_t> subs(offsets, offsets + count);
    for (std::uint64_t offset : subs) {
      if (TIFFSetSubDirectory(tiff_, offset) != 1) continue;
      kind = 1;
      if (TIFFGetField(tiff_, TIFFTAG_SUBFILETYPE, &kind) != 1 || kind == 0) return;
    }
  }
  fail("no raw image (NewSubFileType 0) in IFD 0 or its SubIFDs");
}

void DngReader::read_image(DngFrame& frame) {
  DngInfo& info = frame.info;
  std::uint16_t compression = 1, photometric = 0, samples_per_pixel = 1, bits = 0, sample_format = 1;
  std::uint32_t width = 0, height = 0;
  TIFFGetFieldDefaulted(tiff_, TIFFTAG_COMPRESSION, &compression);
  if (compression != COMPRESSION_NONE)
    fail("compressed DNG (Compression " + std::to_string(compression) +
         ") is not supported; only uncompressed DNG can be read");
  if (TIFFGetField(tiff_, TIFFTAG_PHOTOMETRIC, &photometric) != 1)
    fail("the raw image has no PhotometricInterpretation tag");
  if (photometric != kPhotometricCfa)
    fail("non-CFA DNG (PhotometricInterpretation " + std::to_string(photometric) +
         ") is not supported; only CFA (32803) raw images can be read");
  TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLESPERPIXEL, &samples_per_pixel);
  if (samples_per_pixel != 1) fail("SamplesPerPixel is " + std::to_string(samples_per_pixel) + ", a CFA image has 1");
  if (TIFFGetField(tiff_, TIFFTAG_BITSPERSAMPLE, &bits) != 1) fail("the raw image has no BitsPerSample tag");
  if (!supported_bits(bits)) fail("BitsPerSample " + std::to_string(bits) + " is not one of 8, 10, 12, 14, 16");
  TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLEFORMAT, &sample_format);
  if (sample_format != SAMPLEFORMAT_UINT)
    fail("SampleFormat " + std::to_string(sample_format) + " is not unsigned integer");
  if (TIFFGetField(tiff_, TIFFTAG_IMAGEWIDTH, &width) != 1) fail("the raw image has no ImageWidth tag");
  if (TIFFGetField(tiff_, TIFFTAG_IMAGELENGTH, &height) != 1) fail("the raw image has no ImageLength tag");
  info.width = width;
  info.height = height;
  info.bits = bits;

  const auto dim = required(TIFFTAG_CFAREPEATPATTERNDIM, "CFARepeatPatternDim", 2);
  if (dim[0] != 2 || dim[1] != 2)
    fail("CFARepeatPatternDim is " + std::to_string(static_cast<int>(dim[0])) + " x " +
         std::to_string(static_cast<int>(dim[1])) + ", only 2 x 2 Bayer patterns are supported");
  const auto pattern = required(TIFFTAG_CFAPATTERN, "CFAPattern", 4);
  bool known = false;
  for (const auto& p : kCfaPatterns)
    if (std::equal(p.colours.begin(), p.colours.end(), pattern.begin())) {
      info.cfa_type = p.type;
      known = true;
    }
  if (!known) fail("CFAPattern is no 2 x 2 Bayer layout of red, green and blue");
  if (auto repeat = numbers(TIFFTAG_BLACKLEVELREPEATDIM)) {
    // Two SHORT values: anything else is no repeat this reader can size.
    if (repeat->size() != 2 || !((*repeat)[0] >= 1 && (*repeat)[0] <= 65535) ||
        !((*repeat)[1] >= 1 && (*repeat)[1] <= 65535))
      fail("BlackLevelRepeatDim is malformed");
    info.black_level_repeat_dim = {static_cast<int>((*repeat)[0]), static_cast<int>((*repeat)[1])};
  }
  const std::size_t levels = static_cast<std::size_t>(info.black_level_repeat_dim[0]) *
                             static_cast<std::size_t>(info.black_level_repeat_dim[1]);
  if (levels > kMaxBlackLevels)
    fail("BlackLevelRepeatDim asks for " + std::to_string(levels) + " black levels, more than the " +
         std::to_string(kMaxBlackLevels) + " this reader takes");
  if (auto black = numbers(TIFFTAG_BLACKLEVEL)) {
    if (black->size() != levels)
      fail("BlackLevel holds " + std::to_string(black->size()) + " values, BlackLevelRepeatDim asks for " +
           std::to_string(levels));
    info.black_level = *black;
  } else {
    info.black_level.assign(levels, 0.0);  // the format's default
  }
  if (auto white = numbers(TIFFTAG_WHITELEVEL); white && !white->empty())
    info.white_level = static_cast<std::uint32_t>(white->front());
  else
    info.white_level = (1u << bits) - 1;  // the format's default

  std::uint16_t fill_order = 1;
  TIFFGetFieldDefaulted(tiff_, TIFFTAG_FILLORDER, &fill_order);
  if (fill_order != FILLORDER_MSB2LSB) fail("FillOrder " + std::to_string(fill_order) + " is not supported");
  storage_.bits = bits;
  storage_.byte_swapped = TIFFIsByteSwapped(tiff_) != 0;
  storage_.tiled = TIFFIsTiled(tiff_) != 0;
  const char* piece = storage_.tiled ? "tile" : "strip";
  std::uint32_t pieces = 0;
  if (storage_.tiled) {
    std::uint32_t tw = 0, th = 0;
    if (TIFFGetField(tiff_, TIFFTAG_TILEWIDTH, &tw) != 1 || TIFFGetField(tiff_, TIFFTAG_TILELENGTH, &th) != 1 ||
        tw == 0 || th == 0)
      fail("the tiled raw image has no TileWidth or TileLength tag");
    storage_.block_width = tw;
    storage_.block_height = th;
    pieces = TIFFNumberOfTiles(tiff_);
  } else {
    std::uint32_t rows_per_strip = height;
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    storage_.block_width = width;
    storage_.block_height = std::max<std::uint32_t>(1, std::min(rows_per_strip, height));
    pieces = TIFFNumberOfStrips(tiff_);
  }
  const std::uint64_t across = (width + storage_.block_width - 1) / storage_.block_width;
  const std::uint64_t down = (height + storage_.block_height - 1) / storage_.block_height;
  if (pieces < across * down)
    fail("the raw image has " + std::to_string(pieces) + " " + piece + "s, its size needs " +
         std::to_string(across * down));
  // Uncompressed pieces are read in place later; each must hold its rows and lie within the file.
  const std::uint64_t piece_row = packed_bytes(storage_.block_width, bits);
  std::uint64_t total = 0;  // pieces do not share bytes: together they fit in the file
  for (std::uint32_t i = 0; i < across * down; ++i) {
    const std::uint64_t rows =
        std::min<std::uint64_t>(storage_.block_height, height - (i / across) * storage_.block_height);
    const std::uint64_t wanted = rows * piece_row;
    total += wanted;
    if (total > file_.size)
      fail("the raw image's " + std::to_string(across * down) + " " + piece + "s need more bytes than the file's " +
           std::to_string(file_.size) + ": the file is cut short");
    const std::uint64_t offset = TIFFGetStrileOffset(tiff_, i);
    const std::uint64_t count = TIFFGetStrileByteCount(tiff_, i);
    if (count < wanted)
      fail(std::string(piece) + " " + std::to_string(i) + " holds " + std::to_string(count) + " bytes, expected " +
           std::to_string(wanted));
    if (offset > file_.size || file_.size - offset < wanted)
      fail(std::string(piece) + " " + std::to_string(i) + " runs past the end of the file: the file is cut short");
    storage_.offsets.push_back(offset);
  }
}

DngInfo DngReader::read() {
  DngFrame frame;
  const std::uint8_t* version = nullptr;
  if (TIFFGetField(tiff_, TIFFTAG_DNGVERSION, &version) != 1) fail("a TIFF without the DNGVersion tag is not a DNG");
  read_metadata(frame.info);
  find_raw_image();
  // Tags of the raw IFD itself win over those of IFD 0.
  if (auto v = numbers(kTagExposureTime); v && !v->empty()) frame.info.exposure_time = v->front();
  if (auto v = numbers(kTagIsoSpeedRatings); v && !v->empty()) frame.info.iso = v->front();
  if (auto v = numbers(kAnalogGainTag); v && !v->empty()) frame.info.analog_gain = v->front();
  read_image(frame);
  return frame.info;
}

}  // namespace

DngFile::DngFile(const std::string& path) : path_(path) {
  fd_ = open_regular_file(path, file_bytes_);
  try {
    DngReader reader(path, fd_, file_bytes_);
    info_ = reader.read();
    storage_ = std::move(reader.storage_);
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

DngFile::~DngFile() {
  if (fd_ >= 0) ::close(fd_);
}

void DngFile::read_rows(std::int64_t first_row, std::int64_t rows, std::uint16_t* dest) const {
  const std::int64_t width = info_.width;
  const std::int64_t bw = storage_.block_width, bh = storage_.block_height;
  const std::int64_t across = (width + bw - 1) / bw;
  const std::uint64_t piece_row = packed_bytes(bw, storage_.bits);
  thread_local std::vector<std::uint8_t> bytes;
  for (std::int64_t y = first_row; y < first_row + rows;) {
    const std::int64_t block_row = y / bh;
    // Rows of one strip or tile row lie back to back in the file; they are
    // read a cache-sized chunk at a time.
    const std::int64_t chunk_rows = std::max<std::int64_t>(1, static_cast<std::int64_t>(kChunkBytes / piece_row));
    const std::int64_t n = std::min({first_row + rows, (block_row + 1) * bh, y + chunk_rows}) - y;
    bytes.resize(static_cast<std::size_t>(n * piece_row));
    for (std::int64_t bx = 0; bx < across; ++bx) {
      const std::uint64_t offset = storage_.offsets[static_cast<std::size_t>(block_row * across + bx)] +
                                   static_cast<std::uint64_t>(y - block_row * bh) * piece_row;
      std::uint64_t got = 0;
      while (got < bytes.size()) {
        const ssize_t r = ::pread(fd_, bytes.data() + got, bytes.size() - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0)
          throw std::filesystem::filesystem_error("cannot read DNG capture", std::filesystem::path(path_),
                                                  std::error_code(errno, std::generic_category()));
        if (r == 0) throw DngError(path_ + ": the file shrank while it was read");
        got += static_cast<std::uint64_t>(r);
      }
      unpack_rows(storage_, bytes.data(), piece_row, n, std::min(bw, width - bx * bw),
                  dest + (y - first_row) * width + bx * bw, width);
    }
    y += n;
  }
}

DngFrame read_dng(const std::string& path) {
  const DngFile file(path);
  DngFrame frame;
  frame.info = file.info();
  frame.file_bytes = file.file_bytes();
  frame.samples.resize(static_cast<std::size_t>(frame.info.width) * static_cast<std::size_t>(frame.info.height));
  file.read_rows(0, frame.info.height, frame.samples.data());
  return frame;
}

// ---- writing ---------------------------------------------------------------

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, static_cast<std::uint16_t>(v));
  put16(out, static_cast<std::uint16_t>(v >> 16));
}

// Exact enough for any double a user gives (1/30 s is stored as 1/30).
std::pair<std::uint32_t, std::uint32_t> rational(double v) {
  if (!(v > 0)) return {0, 1};
  if (v >= 4294967295.0) return {4294967295u, 1};
  const auto [p, q] = fraction_near(v, 1e-15);
  return {static_cast<std::uint32_t>(p), static_cast<std::uint32_t>(q)};
}

struct Entry {
  std::uint16_t tag;
  TiffType type;
  std::uint32_t count;
  std::vector<std::uint8_t> bytes;
};

Entry shorts(std::uint16_t tag, std::initializer_list<std::uint16_t> values) {
  Entry e{tag, TiffType::short_, static_cast<std::uint32_t>(values.size()), {}};
  for (auto v : values) put16(e.bytes, v);
  return e;
}
Entry longs(std::uint16_t tag, const std::vector<std::uint32_t>& values) {
  Entry e{tag, TiffType::long_, static_cast<std::uint32_t>(values.size()), {}};
  for (auto v : values) put32(e.bytes, v);
  return e;
}
Entry bytes_entry(std::uint16_t tag, std::initializer_list<std::uint8_t> values) {
  return {tag, TiffType::byte, static_cast<std::uint32_t>(values.size()), std::vector<std::uint8_t>(values)};
}
Entry ascii(std::uint16_t tag, const std::string& text) {
  Entry e{tag, TiffType::ascii, static_cast<std::uint32_t>(text.size() + 1), {text.begin(), text.end()}};
  e.bytes.push_back(0);
  return e;
}
Entry rationals(std::uint16_t tag, const std::vector<double>& values) {
  Entry e{tag, TiffType::rational, static_cast<std::uint32_t>(values.size()), {}};
  for (double v : values) {
    const auto [n, d] = rational(v);
    put32(e.bytes, n);
    put32(e.bytes, d);
  }
  return e;
}

// The samples at stored_bits, most significant bit first, rows on byte boundaries.
void pack_rows(const std::uint16_t* frame, std::int64_t width, std::int64_t rows, int bits,
               std::vector<std::uint8_t>& out) {
  for (std::int64_t y = 0; y < rows; ++y) {
    std::uint64_t acc = 0;
    int have = 0;
    for (std::int64_t x = 0; x < width; ++x) {
      const std::uint16_t v = frame[static_cast<std::size_t>(y * width + x)];
      if (bits == 16) {
        put16(out, v);
        continue;
      }
      acc = (acc << bits) | v;
      have += bits;
      while (have >= 8) {
        have -= 8;
        out.push_back(static_cast<std::uint8_t>(acc >> have));
      }
    }
    if (have > 0) out.push_back(static_cast<std::uint8_t>(acc << (8 - have)));
  }
}

// Entry count, 12-byte entries, next-IFD 0, then the values too long to sit
// in an entry, each on a word boundary; offset is where the IFD will start.
std::vector<std::uint8_t> serialize_ifd(const std::vector<Entry>& entries, std::uint32_t offset) {
  const std::uint32_t table_bytes = static_cast<std::uint32_t>(2 + 12 * entries.size() + 4);
  std::vector<std::uint8_t> ifd, values;
  put16(ifd, static_cast<std::uint16_t>(entries.size()));
  for (const auto& e : entries) {
    put16(ifd, e.tag);
    put16(ifd, static_cast<std::uint16_t>(e.type));
    put32(ifd, e.count);
    if (e.bytes.size() <= 4) {
      std::vector<std::uint8_t> inline_value = e.bytes;
      inline_value.resize(4, 0);
      ifd.insert(ifd.end(), inline_value.begin(), inline_value.end());
    } else {
      put32(ifd, offset + table_bytes + static_cast<std::uint32_t>(values.size()));
      values.insert(values.end(), e.bytes.begin(), e.bytes.end());
      if (values.size() % 2) values.push_back(0);
    }
  }
  put32(ifd, 0);  // no next IFD
  ifd.insert(ifd.end(), values.begin(), values.end());
  return ifd;
}

}  // namespace

DngTag DngTag::doubles(std::uint16_t tag, const std::vector<double>& values) {
  DngTag t{tag, TiffType::double_, static_cast<std::uint32_t>(values.size()), {}};
  for (double v : values) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; ++i) t.bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }
  return t;
}

DngTag DngTag::raw_bytes(std::uint16_t tag, TiffType type, std::uint32_t count, std::vector<std::uint8_t> bytes) {
  return {tag, type, count, std::move(bytes)};
}

void write_dng(const std::string& path, const std::uint16_t* frame, std::int64_t width, std::int64_t height,
               const DngWriteInfo& info) {
  auto bad = [&](const std::string& what) { throw ShapeError(path + ": " + what); };
  if (width <= 0 || height <= 0 || width > 0xFFFFFFFFLL || height > 0xFFFFFFFFLL)
    bad("a DNG frame needs a positive size, got " + std::to_string(width) + " x " + std::to_string(height));
  if (info.bits < 1 || info.bits > 16) bad("bits must be 1..16, got " + std::to_string(info.bits));
  if (!supported_bits(info.stored_bits))
    bad("stored bits must be 8, 10, 12, 14 or 16, got " + std::to_string(info.stored_bits));
  if (info.bits > info.stored_bits)
    bad(std::to_string(info.bits) + "-bit samples do not fit " + std::to_string(info.stored_bits) + " stored bits");
  if (info.tile_size < 0 || info.tile_size % 16 != 0)
    bad("tile size must be a multiple of 16, got " + std::to_string(info.tile_size));
  if (info.black_level.size() != 1 && info.black_level.size() != 4)
    bad("black_level takes one value or four (one per CFA cell), got " + std::to_string(info.black_level.size()));
  const std::uint32_t largest = (1u << info.bits) - 1;
  if (info.white_level > largest)
    bad("white_level " + std::to_string(info.white_level) + " is above 2^bits - 1 = " + std::to_string(largest));
  for (double level : info.black_level)
    if (!(level >= 0 && level <= largest))  // NaN fails both
      bad("black_level must be 0..2^bits - 1 = " + std::to_string(largest) + " DN, got " + std::to_string(level));
  // The tags a reader turns into exposure and gain: a NaN or negative one is no setting a camera had.
  if (info.exposure_time && !(*info.exposure_time >= 0 && std::isfinite(*info.exposure_time)))
    bad("exposure_time must be a finite number of seconds, 0 or more, got " + std::to_string(*info.exposure_time));
  for (const auto& [name, value] : {std::pair{"iso", info.iso}, std::pair{"analog_gain", info.analog_gain}})
    if (value && !(*value > 0 && std::isfinite(*value)))
      bad(std::string(name) + " must be a finite number above 0, got " + std::to_string(*value));
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  for (std::size_t i = 0; i < count; ++i)
    if (frame[i] > largest)
      bad("sample " + std::to_string(frame[i]) + " at row " + std::to_string(i / width) + ", column " +
          std::to_string(i % width) + " is above 2^bits - 1 = " + std::to_string(largest));

  // Image data first (right after the 8-byte header), then the IFD and its values.
  std::vector<std::uint8_t> data;
  std::vector<std::uint32_t> offsets, byte_counts;
  const std::int64_t tile = info.tile_size;
  if (tile == 0) {
    pack_rows(frame, width, height, info.stored_bits, data);
    offsets.push_back(8);
    byte_counts.push_back(static_cast<std::uint32_t>(data.size()));
  } else {
    for (std::int64_t y = 0; y < height; y += tile)
      for (std::int64_t x = 0; x < width; x += tile) {
        const std::size_t start = data.size();
        // Tiles past the last row are padded too: every tile holds tile x tile samples.
        std::vector<std::uint16_t> block(static_cast<std::size_t>(tile * tile), 0);
        for (std::int64_t r = 0; r < tile && y + r < height; ++r)
          for (std::int64_t c = 0; c < tile && x + c < width; ++c)
            block[static_cast<std::size_t>(r * tile + c)] = frame[static_cast<std::size_t>((y + r) * width + x + c)];
        pack_rows(block.data(), tile, tile, info.stored_bits, data);
        offsets.push_back(static_cast<std::uint32_t>(8 + start));
        byte_counts.push_back(static_cast<std::uint32_t>(data.size() - start));
      }
  }
  if (data.size() % 2) data.push_back(0);

  std::array<std::uint8_t, 4> colours{};
  for (const auto& p : kCfaPatterns)
    if (p.type == info.cfa_type) colours = p.colours;
  std::vector<double> black = info.black_level;
  if (black.size() == 1) black.assign(4, black.front());
  const auto w = static_cast<std::uint32_t>(width), h = static_cast<std::uint32_t>(height);
  const auto stored = static_cast<std::uint16_t>(info.stored_bits);
  std::vector<Entry> entries = {
      longs(254, {0}),  // NewSubFileType: the main (raw) image
      longs(256, {w}),
      longs(257, {h}),
      shorts(258, {stored}),
      shorts(259, {1}),  // no compression
      shorts(262, {kPhotometricCfa}),
      ascii(271, "tunekit"),
      ascii(272, "tunekit capture"),
      shorts(277, {1}),
      shorts(284, {1}),
      shorts(33421, {2, 2}),
      bytes_entry(33422, {colours[0], colours[1], colours[2], colours[3]}),
      bytes_entry(50706, {1, 4, 0, 0}),
      bytes_entry(50707, {1, 1, 0, 0}),
      ascii(50708, "tunekit capture"),
      shorts(50713, {2, 2}),
      rationals(50714, black),
      longs(50717, {info.white_level}),
      shorts(50778, {21}),  // CalibrationIlluminant1: D65, which ColorMatrix1 refers to
  };
  {
    Entry matrix{50721, TiffType::srational, 9, {}};
    for (int i = 0; i < 9; ++i) {
      put32(matrix.bytes, i % 4 == 0 ? 1 : 0);  // identity: readers need some colour matrix to open the file
      put32(matrix.bytes, 1);
    }
    entries.push_back(matrix);
  }
  if (tile == 0) {
    entries.push_back(longs(273, offsets));
    entries.push_back(longs(278, {h}));
    entries.push_back(longs(279, byte_counts));
  } else {
    entries.push_back(longs(322, {static_cast<std::uint32_t>(tile)}));
    entries.push_back(longs(323, {static_cast<std::uint32_t>(tile)}));
    entries.push_back(longs(324, offsets));
    entries.push_back(longs(325, byte_counts));
  }
  std::vector<Entry> exif;
  if (info.exposure_time) exif.push_back(rationals(kTagExposureTime, {*info.exposure_time}));
  if (info.iso) exif.push_back(shorts(kTagIsoSpeedRatings, {static_cast<std::uint16_t>(std::lround(*info.iso))}));
  if (!exif.empty()) entries.push_back(longs(kTagExifIfd, {0}));
  if (info.analog_gain) {
    const DngTag gain = DngTag::doubles(kAnalogGainTag, {*info.analog_gain});
    entries.push_back({gain.tag, gain.type, gain.count, gain.bytes});
  }
  for (const auto& extra : info.extra_tags) entries.push_back({extra.tag, extra.type, extra.count, extra.bytes});
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
  for (std::size_t i = 1; i < entries.size(); ++i)
    if (entries[i].tag == entries[i - 1].tag) bad("tag " + std::to_string(entries[i].tag) + " is given twice");

  const std::uint32_t ifd_offset = static_cast<std::uint32_t>(8 + data.size());
  std::vector<std::uint8_t> ifd = serialize_ifd(entries, ifd_offset);
  if (!exif.empty()) {
    // The EXIF IFD follows IFD 0, whose size does not depend on the pointer's value.
    for (auto& e : entries)
      if (e.tag == kTagExifIfd) e = longs(kTagExifIfd, {ifd_offset + static_cast<std::uint32_t>(ifd.size())});
    ifd = serialize_ifd(entries, ifd_offset);
    const std::vector<std::uint8_t> exif_ifd = serialize_ifd(exif, ifd_offset + static_cast<std::uint32_t>(ifd.size()));
    ifd.insert(ifd.end(), exif_ifd.begin(), exif_ifd.end());
  }
  const std::uint64_t total = 8 + data.size() + ifd.size();
  if (total > 0xFFFFFFFFull) bad("a frame this large does not fit a classic TIFF file (4 GiB)");
  std::vector<std::uint8_t> header = {'I', 'I', 42, 0};
  put32(header, 8 + static_cast<std::uint32_t>(data.size()));
  AtomicFile out(path);
  out.write(header.data(), header.size());
  out.write(data.data(), data.size());
  out.write(ifd.data(), ifd.size());
  out.commit();
}

}  // namespace tuning
