#pragma once
// What the server does with one chunk of input: echo it, acknowledge it,
// then run at most one command.

#include <cstddef>

#include "calibration_library.h"

namespace calvane {

// Where the server writes. Kept abstract so that the protocol runs the same
// on every system and in tests without a process.
class ProtocolOutput {
 public:
  virtual ~ProtocolOutput() = default;
  // Unbuffered write of all bytes; false when the host is gone.
  virtual bool write(const char* bytes, std::size_t count) = 0;
  // The copy of each chunk for the runtime's buffered stream, handed over as
  // plain text; it reaches the host when that stream is flushed.
  virtual void copy_to_buffered_stream(const char* text) = 0;
};

inline constexpr char kReadyLine[] = "[ready]\n";
inline constexpr char kAcknowledgement[] = " OK\n";
// Prefix of the line reporting a failed library call after the
// acknowledgement, e.g. "[error] load blc: <reason>\n".
inline constexpr char kErrorPrefix[] = "[error] ";

// The reason given for a failure that carries no text of its own.
inline constexpr char kUnknownFailure[] = "unknown failure";

// One read: the received bytes followed by a zero byte at chunk[count].
inline constexpr std::size_t kChunkCapacity = 999;
inline constexpr std::size_t kReceiveBufferSize = kChunkCapacity + 1;

enum class ChunkOutcome {
  Served,      // go on reading
  Exit,        // "[exit]" was received: shut down
  OutputGone,  // a write failed: the host is gone, shut down
};

// Serves one non-empty chunk. `chunk` must be zero-terminated at `count`.
// A failing library call is reported on a line of its own and does not end
// the server.
ChunkOutcome serve_chunk(const char* chunk, std::size_t count, ProtocolOutput& output, CalibrationLibrary& library);

}  // namespace calvane
