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

// Time between two reads.
inline constexpr unsigned kPauseMilliseconds = 100;

// What the reader thread and the main thread share. The main thread stops
// the reader and then waits for the chunk being served: a command whose
// acknowledgement the host has seen is finished, whatever asked for the
// close. Sequentially consistent atomics: after stop() either the reader
// sees it before taking a chunk, or the main thread sees that chunk served.
class ReaderControl {
 public:
  // Reader: false once stopped; else the chunk counts as served until
  // end_chunk().
  bool begin_chunk() {
    serving_.store(true);
    if (running_.load()) return true;
    serving_.store(false);
    return false;
  }
  void end_chunk() { serving_.store(false); }
  bool running() const { return running_.load(); }

  // Main thread: no chunk is taken after this.
  void stop() { running_.store(false); }
  bool serving() const { return serving_.load(); }

 private:
  std::atomic<bool> running_{true};
  std::atomic<bool> serving_{false};
};

enum class ReaderEnd {
  ExitCommand,  // "[exit]" received
  EndOfInput,   // the host closed standard input
  OutputGone,   // standard output failed: the host is gone
  Stopped,      // the main thread called stop()
};

// Writes the ready line, then serves chunks until one of the ends above.
// Every end but Stopped posts a close request before returning.
ReaderEnd run_reader(ReaderPorts& ports, CalibrationLibrary& library, ReaderControl& control);

}  // namespace calvane
