#pragma once
// What the server needs of the numerical runtime and the maker's calibration
// library, independent of how they are loaded.

#include <stdexcept>
#include <string>

namespace calvane {

// A failure reported by the library or the runtime during a call.
class LibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CalibrationLibrary {
 public:
  virtual ~CalibrationLibrary() = default;

  // Runtime initialisation, made once with no options before anything else.
  virtual bool initialize_runtime() = 0;
  // The library's own initialiser.
  virtual bool initialize() = 0;
  // One calibration call, action first. Returns when the work is done;
  // throws LibraryError when the library reports a failure.
  virtual void cli(const char* action, const char* module) = 0;
};

}  // namespace calvane
