#include "capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>

#include "../shared/errors.h"

namespace tuning::noise {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int err) {
  try {
    throw std::filesystem::filesystem_error(what, std::filesystem::path(path),
                                            std::error_code(err, std::generic_category()));
  } catch (...) {
    std::throw_with_nested(CalibrationError(kInvalidImageShape));
  }
}

[[noreturn]] void fail_shape(const std::string& path, std::uint64_t expected, std::uint64_t found) {
  try {
    throw ShapeError("capture " + path + " holds " + std::to_string(found) + " samples, expected " +
                     std::to_string(expected));
  } catch (...) {
    std::throw_with_nested(CalibrationError(kInvalidImageShape));
  }
}

}  // namespace

CaptureFile::CaptureFile(const std::string& path, std::int64_t height, std::int64_t width)
    : path_(path), width_(width) {
  if (height < 0 || width < 0) fail_shape(path, 0, 0);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) fail("cannot open raw capture", path, errno);
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    const int err = errno;
    ::close(fd_);
    fail("cannot stat raw capture", path, err);
  }
  const std::uint64_t expected = static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(width);
  const std::uint64_t found = static_cast<std::uint64_t>(info.st_size) / sizeof(std::uint16_t);
  if (S_ISDIR(info.st_mode) || found != expected) {
    ::close(fd_);
    if (S_ISDIR(info.st_mode)) fail("raw capture is a directory", path, EISDIR);
    fail_shape(path, expected, found);
  }
}

CaptureFile::~CaptureFile() {
  if (fd_ >= 0) ::close(fd_);
}

void CaptureFile::read_rows(std::int64_t first_row, std::int64_t rows, std::uint16_t* dest) const {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "raw captures are little-endian");
  const std::size_t wanted = static_cast<std::size_t>(rows * width_) * sizeof(std::uint16_t);
  const off_t offset = static_cast<off_t>(first_row * width_) * static_cast<off_t>(sizeof(std::uint16_t));
  auto* bytes = reinterpret_cast<char*>(dest);
  std::size_t got = 0;
  while (got < wanted) {
    const ssize_t n = ::pread(fd_, bytes + got, wanted - got, offset + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot read raw capture", path_, errno);
    }
    if (n == 0) fail("raw capture shrank while being read", path_, EIO);
    got += static_cast<std::size_t>(n);
  }
}

}  // namespace tuning::noise
