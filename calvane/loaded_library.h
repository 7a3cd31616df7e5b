#pragma once
// The calibration library loaded from a shared object at start-up, seen
// through the CalibrationLibrary interface.

#include <memory>
#include <stdexcept>
#include <string>

#include "calibration_library.h"

namespace calvane {

// The library file cannot be loaded or lacks an entry point.
class LibraryLoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Environment variable naming the library file; when unset the library is
// looked for next to the executable.
inline constexpr char kLibraryPathVariable[] = "CALVIX_LIBRARY";

// The file to load: the variable's value if set and non-empty, else the
// default file name in `executable_directory`.
std::string library_path(const char* variable_value, const std::string& executable_directory);

// Loads the library and resolves every entry point; throws LibraryLoadError.
std::unique_ptr<CalibrationLibrary> load_calibration_library(const std::string& path);

}  // namespace calvane
