// Error kinds of the calibration cores. Each maps onto one host exception type
// in the bindings, so a C++ caller and a Python caller see the same failures.
#pragma once

#include <stdexcept>
#include <string>

namespace tuning {

// The two fixed texts routines report when a capture set cannot be used.
inline constexpr const char* kInvalidImageShape = "invalid image shape, check your file param";
inline constexpr const char* kEmptyImageList = "img list is None.";

// A failure the routine reports itself with a fixed text (host: RuntimeError).
// When a lower-level error is behind it, it is thrown with std::throw_with_nested
// so the binding can attach it as the cause.
class CalibrationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An array that does not have the size or shape a computation needs (host: ValueError).
class ShapeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A violated precondition of a routine (host: AssertionError).
class AssertionFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A division whose divisor is zero (host: ZeroDivisionError).
class DivisionByZero : public std::domain_error {
 public:
  using std::domain_error::domain_error;
};

}  // namespace tuning
