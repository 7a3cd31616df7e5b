#include "averaged_frame.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <system_error>

#include "../shared/errors.h"
#include "row_bands.h"

namespace tuning::bpc {

namespace fs = std::filesystem;

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "raw captures are little-endian; a big-endian build needs a byte swap here");

[[noreturn]] void throw_io_error(const char* what, const std::string& path, int err) {
  throw fs::filesystem_error(what, fs::path(path), std::error_code(err, std::generic_category()));
}

class Capture {
 public:
  explicit Capture(const std::string& path) : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw_io_error("cannot open raw capture", path, errno);
  }
  ~Capture() { ::close(fd_); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::uint64_t sample_count() const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) throw_io_error("cannot stat raw capture", path_, errno);
    if (S_ISDIR(info.st_mode)) throw_io_error("raw capture is a directory", path_, EISDIR);
    return static_cast<std::uint64_t>(info.st_size) / sizeof(std::uint16_t);
  }

  // Samples [first, first + out.size()); a file that shrank meanwhile is too short.
  void read_samples(std::uint64_t first, std::vector<std::uint16_t>& out) const {
    auto* dest = reinterpret_cast<char*>(out.data());
    const std::size_t wanted = out.size() * sizeof(std::uint16_t);
    std::size_t got = 0;
    while (got < wanted) {
      const ssize_t n = ::pread(fd_, dest + got, wanted - got, static_cast<off_t>(first * 2 + got));
      if (n < 0) {
        if (errno == EINTR) continue;
        throw_io_error("cannot read raw capture", path_, errno);
      }
      if (n == 0) throw CalibrationError(kInvalidImageShape);
      got += static_cast<std::size_t>(n);
    }
  }

 private:
  std::string path_;
  int fd_;
};

// Adds rows [begin, end) of every capture, divided by N, into mean_img.
void accumulate_band(const std::vector<std::string>& files, std::uint64_t frame_samples, std::int64_t width,
                     std::int64_t begin, std::int64_t end, double* mean_img) {
  const double count = static_cast<double>(files.size());
  const auto first = static_cast<std::uint64_t>(begin * width);
  std::vector<std::uint16_t> band(static_cast<std::size_t>((end - begin) * width));
  double* out = mean_img + first;
  bool first_file = true;
  for (const auto& path : files) {
    try {
      const Capture capture(path);
      if (capture.sample_count() < frame_samples) throw CalibrationError(kInvalidImageShape);
      capture.read_samples(first, band);
    } catch (const CalibrationError&) {
      throw;
    } catch (const std::exception&) {
      std::throw_with_nested(CalibrationError(kInvalidImageShape));
    }
    // Starting from zero, the first addition equals the quotient itself (never -0).
    if (first_file) {
      for (std::size_t i = 0; i < band.size(); ++i) out[i] = band[i] / count;
    } else {
      for (std::size_t i = 0; i < band.size(); ++i) out[i] += band[i] / count;
    }
    first_file = false;
  }
}

}  // namespace

void average_captures(const std::vector<std::string>& files, std::int64_t height, std::int64_t width,
                      std::vector<double>& mean_img) {
  if (height < 0 || width < 0) throw CalibrationError(kInvalidImageShape);
  const auto frame_samples = static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(width);
  mean_img.assign(static_cast<std::size_t>(frame_samples), 0.0);
  for_each_band(height, [&](int, std::int64_t begin, std::int64_t end) {
    accumulate_band(files, frame_samples, width, begin, end, mean_img.data());
  });
}

}  // namespace tuning::bpc
