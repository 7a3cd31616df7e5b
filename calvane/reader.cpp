#include "reader.h"

#include <cstring>

namespace calvane {
namespace {

ReaderEnd serve_until_end(ReaderPorts& ports, CalibrationLibrary& library, ReaderControl& control) {
  if (!ports.write(kReadyLine, std::strlen(kReadyLine))) return ReaderEnd::OutputGone;
  char buffer[kReceiveBufferSize];
  for (;;) {
    // Cleared every time so that a chunk is matched only against its own
    // bytes, never against the tail of a longer earlier one.
    std::memset(buffer, 0, sizeof buffer);
    std::size_t count = 0;
    if (ports.read(buffer, kChunkCapacity, count) == ReaderPorts::ReadStatus::EndOfInput) {
      return ReaderEnd::EndOfInput;
    }
    if (count > 0) {
      // A chunk read after the close began is left unanswered: the host has
      // not been told that it was taken.
      if (!control.begin_chunk()) return ReaderEnd::Stopped;
      const ChunkOutcome outcome = serve_chunk(buffer, count, ports, library);
      control.end_chunk();
      switch (outcome) {
        case ChunkOutcome::Served:
          break;
        case ChunkOutcome::Exit:
          return ReaderEnd::ExitCommand;
        case ChunkOutcome::OutputGone:
          return ReaderEnd::OutputGone;
      }
    }
    ports.pause();
    if (!control.running()) return ReaderEnd::Stopped;
  }
}

}  // namespace

ReaderEnd run_reader(ReaderPorts& ports, CalibrationLibrary& library, ReaderControl& control) {
  const ReaderEnd end = serve_until_end(ports, library, control);
  if (end != ReaderEnd::Stopped) ports.request_close();
  return end;
}

}  // namespace calvane
