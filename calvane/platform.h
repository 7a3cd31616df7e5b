#pragma once
// Operating-system services the server uses: the standard streams, one
// worker thread, the close request that ends the main thread's wait, and
// loading the calibration library. One implementation per system
// (platform_posix.cpp, platform_win32.cpp); nothing above this layer
// includes a system header.

#include <cstddef>
#include <memory>
#include <string>

namespace calvane::platform {

// Termination signals (where the system has them) ask for the same orderly
// close as "[exit]"; one that comes before a MainWait exists is kept for it.
void catch_termination_signals();

// Process-wide settings made once before anything else (signal handling,
// stream modes).
void prepare_process();

struct ReadResult {
  // Data: `count` bytes arrived. EndOfInput: the host closed its end or the
  // stream failed for good; no later read can deliver anything.
  enum class Kind { Data, EndOfInput } kind;
  std::size_t count;
};

// Blocking read of at most `capacity` bytes from standard input.
ReadResult read_standard_input(char* buffer, std::size_t capacity);

// Unbuffered write of all `count` bytes to standard output; false when the
// host is gone or the stream failed.
bool write_standard_output(const char* bytes, std::size_t count);

// Passes text to the C runtime's buffered standard output stream.
void write_buffered_output(const char* text);

// Start-up failures: the host sees them on standard error.
void report_failure(const std::string& text);

void sleep_milliseconds(unsigned milliseconds);

// The main thread's wait, ended by a close request from the reader thread
// or from outside (a termination signal, a close message).
class MainWait {
 public:
  MainWait();
  ~MainWait();
  MainWait(const MainWait&) = delete;
  MainWait& operator=(const MainWait&) = delete;

  // False (with `error` set) when the wait cannot be set up.
  bool create(std::string& error);
  // Safe to call from any thread, any number of times.
  void post_close_request();
  // Blocks without spinning until a close request arrives.
  void wait_for_close_request();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class Thread {
 public:
  using Entry = void (*)(void* argument);

  Thread();
  ~Thread();  // never waits and never ends the process
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  bool start(Entry entry, void* argument);
  // True when the thread ended within `milliseconds`.
  bool join_for(unsigned milliseconds);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class SharedLibrary {
 public:
  SharedLibrary();
  ~SharedLibrary();  // leaves the library loaded: its code may still run
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // False with `error` naming the file and the system's reason.
  bool open(const std::string& path, std::string& error);
  // Address of an exported function, or null.
  void* symbol(const char* name) const;

 private:
  void* handle_ = nullptr;
};

// Directory holding the running executable, with a trailing separator.
std::string executable_directory();

// File name of the calibration library on this system.
const char* default_library_file_name();

// Ends the process at once after flushing the buffered stream, for when a
// thread may still be inside a blocking read or a library call.
[[noreturn]] void end_process(int status);

}  // namespace calvane::platform
