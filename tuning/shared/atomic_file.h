// Files written whole or not at all: the data goes to a temporary file in the
// same folder, which is renamed over the target only once it is complete, so
// readers see either the old file or the whole new one, never a partial one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tuning {

class AtomicFile {
 public:
  // Creates the temporary file beside path; throws filesystem_error naming it.
  explicit AtomicFile(const std::string& path);
  // Without commit() the temporary file is removed: a failed write leaves no trace.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(const void* data, std::size_t bytes);
  // Flushes to disk and renames into place.
  void commit();
  // Name of the temporary file (for writers that need a path, such as libtiff).
  const std::string& temp_path() const { return temp_; }
  // Hands the descriptor over to a writer that closes it itself; commit() then
  // only syncs by path and renames.
  int release_fd();

 private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
  bool committed_ = false;
};

void write_file_atomically(const std::string& path, std::string_view bytes);

}  // namespace tuning
