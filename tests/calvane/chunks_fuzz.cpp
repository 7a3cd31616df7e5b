// libFuzzer entry for the server's chunk handling: the input is cut into
// reads, served by the reader loop against recording stand-ins, and what
// must hold for any bytes is checked; a violation aborts the run.
//
// Input layout, repeated: one byte n, then n * 4 + 1 bytes (at most a full
// chunk) that arrive as one read. Bytes left at the end form a last read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_table.h"
#include "fakes.h"
#include "reader.h"

namespace {

using calvane::kAcknowledgement;
using calvane::kChunkCapacity;
using calvane::kErrorPrefix;

void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "chunk handling: %s\n", what);
    std::abort();
  }
}

std::vector<std::string> cut_into_reads(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> reads;
  std::size_t at = 0;
  while (at < size) {
    const std::size_t length = std::min<std::size_t>(std::size_t(data[at]) * 4 + 1, kChunkCapacity);
    ++at;
    const std::size_t taken = std::min(length, size - at);
    if (taken == 0) break;
    reads.emplace_back(reinterpret_cast<const char*>(data + at), taken);
    at += taken;
  }
  return reads;
}

// The text a read holds for the command search: up to its first zero byte.
std::string as_text(const std::string& read) { return read.substr(0, read.find('\0')); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> reads = cut_into_reads(data, size);
  calvane::testing::EventLog log;
  calvane::testing::FakePorts ports(log);
  calvane::testing::FakeLibrary library(log);
  library.failing_module = "lsc";
  library.failure_text = "bad\nreference\r";
  library.foreign_failure_module = "xg";
  ports.reads.assign(reads.begin(), reads.end());
  calvane::ReaderControl control;
  const calvane::ReaderEnd end = calvane::run_reader(ports, library, control);

  // Replay what the server must have done, read by read, against its events.
  std::size_t event = 0;
  auto next = [&]() -> const std::string& {
    require(event < log.events.size(), "fewer events than the reads ask for");
    return log.events[event++];
  };
  require(next() == "write [ready]\n", "the ready line does not come first");
  std::string buffered;
  bool exited = false;
  for (const std::string& read : reads) {
    require(next() == "write " + read, "a read is not echoed exactly");
    require(next() == std::string("write ") + kAcknowledgement, "an echo is not acknowledged");
    const std::string text = as_text(read);
    buffered += text;
    const calvane::Command* command = calvane::find_command(text.c_str());
    if (command == nullptr) continue;
    if (command->kind == calvane::CommandKind::Exit) {
      exited = true;
      break;
    }
    require(text.find(command->marker) != std::string::npos, "a command runs without its marker");
    require(next() == std::string("call ") + command->action + " " + command->module,
            "the command of the table is not the one called");
    if (library.failing_module == command->module || library.foreign_failure_module == command->module) {
      const std::string& report = next();
      require(report.rfind(std::string("write ") + kErrorPrefix, 0) == 0, "a failed call is not reported");
      require(report.find('\n') == report.size() - 1 && report.find('\r') == std::string::npos,
              "a failure report is not one line");
    }
  }
  require(next() == "close", "the end of the loop does not ask for the close");
  require(event == log.events.size(), "more events than the reads ask for");
  require(end == (exited ? calvane::ReaderEnd::ExitCommand : calvane::ReaderEnd::EndOfInput),
          "the loop ends for the wrong reason");
  require(ports.buffered == buffered, "the buffered copy is not the plain text of the reads");
  require(!control.serving(), "a chunk is still counted as served after the loop");
  return 0;
}
