// One raw capture opened for reading by rows. Routines that fold many captures
// read a few rows at a time so that memory stays small whatever the frame count.
#pragma once

#include <cstdint>
#include <string>

namespace tuning::noise {

class CaptureFile {
 public:
  // Opens path and checks it holds exactly height x width samples. Any failure
  // (missing, unreadable, wrong size) is CalibrationError(kInvalidImageShape)
  // with the underlying cause nested.
  CaptureFile(const std::string& path, std::int64_t height, std::int64_t width);
  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  // Reads rows [first_row, first_row + rows) into dest (rows x width samples).
  void read_rows(std::int64_t first_row, std::int64_t rows, std::uint16_t* dest) const;

 private:
  std::string path_;
  std::int64_t width_;
  int fd_ = -1;
};

}  // namespace tuning::noise
