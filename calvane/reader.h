#pragma once
// The reader thread's loop: one read, one served chunk, a pause, repeat
// until shutdown.

#include <atomic>
#include <cstddef>

#include "calibration_library.h"
#include "protocol.h"

namespace calvane {

// Everything the loop needs from its surroundings, so that it can run on
// any system and in tests.
class ReaderPorts : public ProtocolOutput {
 public:
  enum class ReadStatus { Data, EndOfInput };
  // Blocking read of at most `capacity` bytes; `count` is set for Data.
  virtual ReadStatus read(char* buffer, std::size_t capacity, std::size_t& count) = 0;
  // The pause after each read.
  virtual void pause() = 0;
  // Asks the main thread to shut the server down.
  virtual void request_close() = 0;
};

// Time between two reads; also the longest a cleared `running` flag goes
// unnoticed while input keeps arriving.
inline constexpr unsigned kPauseMilliseconds = 100;

enum class ReaderEnd {
  ExitCommand,  // "[exit]" received
  EndOfInput,   // the host closed standard input
  OutputGone,   // standard output failed: the host is gone
  Stopped,      // `running` was cleared by the main thread
};

// Writes the ready line, then serves chunks until one of the ends above.
// Every end but Stopped posts a close request before returning.
ReaderEnd run_reader(ReaderPorts& ports, CalibrationLibrary& library,
                     const std::atomic<bool>& running);

}  // namespace calvane
