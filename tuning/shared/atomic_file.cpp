#include "atomic_file.h"

#include "raw_capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tuning {

namespace {

[[noreturn]] void throw_write_error(const std::string& path, int err) {
  throw std::filesystem::filesystem_error("cannot write file", std::filesystem::path(path),
                                          std::error_code(err, std::generic_category()));
}

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

AtomicFile::AtomicFile(const std::string& path) : path_(path), temp_(path + ".partial-XXXXXX") {
  require_path_without_nul(path);
  std::vector<char> name(temp_.begin(), temp_.end());
  name.push_back('\0');
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) throw_write_error(path, errno);
  temp_ = name.data();
  // mkostemp creates the file private; the result gets the usual permissions.
  ::fchmod(fd_, 0666 & ~current_umask());
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_.c_str());
}

void AtomicFile::write(const void* data, std::size_t bytes) {
  const char* p = static_cast<const char*>(data);
  std::size_t written = 0;
  while (written < bytes) {
    const ssize_t n = ::write(fd_, p + written, bytes - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_write_error(path_, errno);
    }
    written += static_cast<std::size_t>(n);
  }
}

int AtomicFile::release_fd() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void AtomicFile::commit() {
  int fd = fd_;
  if (fd < 0) fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw_write_error(path_, errno);
  int err = ::fsync(fd) != 0 ? errno : 0;
  if (::close(fd) != 0 && err == 0) err = errno;
  fd_ = -1;
  if (err == 0 && ::rename(temp_.c_str(), path_.c_str()) != 0) err = errno;
  if (err != 0) throw_write_error(path_, err);
  committed_ = true;
}

void write_file_atomically(const std::string& path, std::string_view bytes) {
  AtomicFile file(path);
  file.write(bytes.data(), bytes.size());
  file.commit();
}

}  // namespace tuning
