#include "reader.h"

#include <cstring>

namespace calvane {
namespace {

ReaderEnd serve_until_end(ReaderPorts& ports, CalibrationLibrary& library,
                          const std::atomic<bool>& running) {
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
      switch (serve_chunk(buffer, count, ports, library)) {
        case ChunkOutcome::Served: break;
        case ChunkOutcome::Exit: return ReaderEnd::ExitCommand;
        case ChunkOutcome::OutputGone: return ReaderEnd::OutputGone;
      }
    }
    ports.pause();
    if (!running.load()) return ReaderEnd::Stopped;
  }
}

}  // namespace

ReaderEnd run_reader(ReaderPorts& ports, CalibrationLibrary& library,
                     const std::atomic<bool>& running) {
  const ReaderEnd end = serve_until_end(ports, library, running);
  if (end != ReaderEnd::Stopped) ports.request_close();
  return end;
}

}  // namespace calvane
