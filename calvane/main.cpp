// calvane: calibration command server. The tuning application starts it
// with pipes on standard input and output; see README.md for the protocol.

#include <cstdlib>

#include "loaded_library.h"
#include "platform.h"
#include "server.h"

namespace {
// Before main() runs: a signal sent right after the host started the
// program must not end it before it can close in order.
[[maybe_unused]] const bool g_signals_caught = (calvane::platform::catch_termination_signals(), true);
}  // namespace

int main() {
  const std::string path =
      calvane::library_path(std::getenv(calvane::kLibraryPathVariable), calvane::platform::executable_directory());
  return calvane::run_server(path);
}
