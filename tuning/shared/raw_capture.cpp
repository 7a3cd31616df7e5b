#include "raw_capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "errors.h"

namespace tuning {

namespace fs = std::filesystem;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "raw captures are little-endian; a big-endian build needs a byte swap here");

NotRegularFileError::NotRegularFileError(const std::string& path)
    : fs::filesystem_error(kReason, fs::path(path), std::error_code(EINVAL, std::generic_category())) {}

namespace {

[[noreturn]] void throw_io_error(const std::string& what, const std::string& path, int err) {
  throw fs::filesystem_error(what, fs::path(path), std::error_code(err, std::generic_category()));
}

class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

FileHandle open_capture(const std::string& path, struct stat& info) {
  std::uint64_t size = 0;
  FileHandle file(open_regular_file(path, size));
  info.st_size = static_cast<off_t>(size);
  return file;
}

}  // namespace

void require_path_without_nul(const std::string& path) {
  const std::size_t at = path.find('\0');
  if (at != std::string::npos)
    throw std::invalid_argument("path '" + path.substr(0, at) + "\\0" + path.substr(at + 1) +
                                "' holds a NUL character");
}

int open_regular_file(const std::string& path, std::uint64_t& size) {
  require_path_without_nul(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) throw_io_error("cannot open capture", path, errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int err = errno;
    ::close(fd);
    throw_io_error("cannot stat capture", path, err);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    if (S_ISDIR(info.st_mode)) throw_io_error("capture is a directory", path, EISDIR);
    throw NotRegularFileError(path);
  }
  size = static_cast<std::uint64_t>(info.st_size);
  return fd;
}

std::uint64_t raw_sample_count(const std::string& path) {
  struct stat info {};
  open_capture(path, info);
  return static_cast<std::uint64_t>(info.st_size) / sizeof(std::uint16_t);
}

namespace {

// Reads up to capacity bytes; returns how many arrived (less when the file shrank meanwhile).
std::size_t read_all(int fd, char* dest, std::size_t wanted, const std::string& path) {
  std::size_t got = 0;
  while (got < wanted) {
    const ssize_t n = ::read(fd, dest + got, wanted - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_io_error("cannot read raw capture", path, errno);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

Samples read_raw_u16(const std::string& path) {
  struct stat info {};
  FileHandle file = open_capture(path, info);
  Samples samples(static_cast<std::size_t>(info.st_size) / sizeof(std::uint16_t));
  const std::size_t got =
      read_all(file.get(), reinterpret_cast<char*>(samples.data()), samples.size() * sizeof(std::uint16_t), path);
  samples.resize(got / sizeof(std::uint16_t));
  return samples;
}

std::uint16_t* RawBuffer::reserve(std::size_t count) {
  if (count > capacity_) {
    data_.reset(new std::uint16_t[count]);  // no zero fill: every sample is read over
    capacity_ = count;
  }
  return data_.get();
}

void read_raw_u16_into(const std::string& path, RawBuffer& buffer) {
  struct stat info {};
  FileHandle file = open_capture(path, info);
  const std::size_t count = static_cast<std::size_t>(info.st_size) / sizeof(std::uint16_t);
  char* dest = reinterpret_cast<char*>(buffer.reserve(count));
  buffer.set_size(read_all(file.get(), dest, count * sizeof(std::uint16_t), path) / sizeof(std::uint16_t));
}

std::string normalize_path(const std::string& path) {
  if (path.empty()) return ".";
  const bool absolute = path[0] == '/';
  // POSIX keeps exactly two leading slashes; three or more collapse to one.
  const int leading = absolute ? ((path.rfind("//", 0) == 0 && path.rfind("///", 0) != 0) ? 2 : 1) : 0;
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if ((!absolute && parts.empty()) || (!parts.empty() && parts.back() == ".."))
        parts.push_back(part);
      else if (!parts.empty())
        parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out(static_cast<std::size_t>(leading), '/');
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '/';
    out += parts[i];
  }
  return out.empty() ? "." : out;
}

std::vector<std::string> glob_files(const std::string& pattern) {
  const auto slash = pattern.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
  const std::string name_pattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  std::vector<std::string> matches;
  DIR* listing = ::opendir(dir.empty() ? "." : dir.c_str());
  if (listing == nullptr) return matches;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::fnmatch(name_pattern.c_str(), name.c_str(), FNM_PERIOD) == 0) matches.push_back(dir + name);
  }
  ::closedir(listing);
  return matches;
}

void ensure_output_dir(const std::string& out_file_dir) {
  const std::string dir = out_file_dir.empty() ? "." : out_file_dir;
  std::error_code ec;
  if (fs::is_directory(dir, ec)) return;
  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) throw_io_error("cannot create output directory", dir, errno);
}

namespace {

std::size_t frame_size(std::int64_t height, std::int64_t width) {
  if (height < 0 || width < 0) throw CalibrationError(kInvalidImageShape);
  std::size_t samples = 0;  // a product past 64 bits is a frame no capture holds
  if (__builtin_mul_overflow(static_cast<std::size_t>(height), static_cast<std::size_t>(width), &samples))
    throw CalibrationError(kInvalidImageShape);
  return samples;
}

}  // namespace

void require_truncating_shape(std::size_t sample_count, std::int64_t height, std::int64_t width) {
  if (sample_count < frame_size(height, width)) throw CalibrationError(kInvalidImageShape);
}

void require_exact_shape(std::size_t sample_count, std::int64_t height, std::int64_t width) {
  if (sample_count != frame_size(height, width)) throw CalibrationError(kInvalidImageShape);
}

void require_truncating_shape(const Samples& samples, std::int64_t height, std::int64_t width) {
  require_truncating_shape(samples.size(), height, width);
}

void require_exact_shape(const Samples& samples, std::int64_t height, std::int64_t width) {
  require_exact_shape(samples.size(), height, width);
}

void require_even_frame(std::int64_t height, std::int64_t width) {
  if (height <= 0 || width <= 0 || height % 2 != 0 || width % 2 != 0)
    throw ShapeError("the Bayer split needs an even, non-empty frame size; got " + std::to_string(height) + " x " +
                     std::to_string(width));
}

Samples split_bayer4(const std::uint16_t* frame, std::int64_t height, std::int64_t width) {
  require_even_frame(height, width);
  const std::size_t half_w = static_cast<std::size_t>(width / 2);
  Samples cells(static_cast<std::size_t>(height) * static_cast<std::size_t>(width));
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint16_t* row = frame + y * width;
    std::uint16_t* out = cells.data() + static_cast<std::size_t>(y / 2) * half_w * kCellPositions;
    const int row_parity = static_cast<int>(y % 2) * 2;
    for (std::size_t j = 0; j < half_w; ++j) {
      out[j * kCellPositions + row_parity] = row[2 * j];
      out[j * kCellPositions + row_parity + 1] = row[2 * j + 1];
    }
  }
  return cells;
}

CellSums cell_position_sums(const std::uint16_t* frame, std::int64_t height, std::int64_t width) {
  require_even_frame(height, width);
  CellSums sums{};
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint16_t* row = frame + y * width;
    // 32-bit partial sums vectorise well; one row of 65535s fits easily.
    std::uint64_t even = 0, odd = 0;
    std::uint32_t even_part = 0, odd_part = 0;
    constexpr std::int64_t kChunk = 1 << 14;  // 2^14 * 65535 < 2^32
    for (std::int64_t x0 = 0; x0 < width; x0 += 2 * kChunk) {
      const std::int64_t x1 = std::min(width, x0 + 2 * kChunk);
      even_part = 0;
      odd_part = 0;
      for (std::int64_t x = x0; x < x1; x += 2) {
        even_part += row[x];
        odd_part += row[x + 1];
      }
      even += even_part;
      odd += odd_part;
    }
    const int base = static_cast<int>(y % 2) * 2;
    sums[base] += even;
    sums[base + 1] += odd;
  }
  return sums;
}

}  // namespace tuning
