// calvane: calibration command server. The tuning application starts it
// with pipes on standard input and output; see README.md for the protocol.

#include <cstdlib>

#include "loaded_library.h"
#include "platform.h"
#include "server.h"

int main() {
  const std::string path = calvane::library_path(std::getenv(calvane::kLibraryPathVariable),
                                                 calvane::platform::executable_directory());
  return calvane::run_server(path);
}
