#pragma once
// Recording stand-ins for the server's surroundings: one event log shared
// by output and library, so that tests can check the order of writes and
// calls.

#include <cstddef>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration_library.h"
#include "reader.h"

namespace calvane::testing {

struct EventLog {
  std::vector<std::string> events;
};

class FakeLibrary : public CalibrationLibrary {
 public:
  explicit FakeLibrary(EventLog& log) : log_(log) {}

  bool initialize_runtime() override { return true; }
  bool initialize() override { return true; }
  void cli(const char* action, const char* module) override {
    log_.events.push_back(std::string("call ") + action + " " + module);
    if (failing_module == module) throw LibraryError(failure_text);
    if (foreign_failure_module == module) throw 42;  // not a standard exception
  }

  std::string failing_module;
  std::string failure_text = "calibration failed";
  std::string foreign_failure_module;

 private:
  EventLog& log_;
};

// Input is a queue of reads; once it is empty the host has closed its end.
class FakePorts : public ReaderPorts {
 public:
  explicit FakePorts(EventLog& log) : log_(log) {}

  bool write(const char* bytes, std::size_t count) override {
    if (writes_left == 0) return false;
    --writes_left;
    log_.events.push_back("write " + std::string(bytes, count));
    return true;
  }
  void copy_to_buffered_stream(const char* text) override { buffered += text; }
  ReadStatus read(char* buffer, std::size_t capacity, std::size_t& count) override {
    if (reads.empty()) return ReadStatus::EndOfInput;
    const std::string next = reads.front();
    reads.pop_front();
    if (next.size() > capacity) throw std::logic_error("test read larger than the capacity");
    next.copy(buffer, next.size());
    count = next.size();
    return ReadStatus::Data;
  }
  void pause() override { ++pauses; }
  void request_close() override { log_.events.push_back("close"); }

  std::deque<std::string> reads;
  std::string buffered;
  std::size_t writes_left = static_cast<std::size_t>(-1);
  int pauses = 0;

 private:
  EventLog& log_;
};

}  // namespace calvane::testing
