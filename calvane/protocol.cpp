#include "protocol.h"

#include <cstring>
#include <string>

#include "command_table.h"

namespace calvane {
namespace {

bool write_text(ProtocolOutput& output, const std::string& text) { return output.write(text.data(), text.size()); }

// The reason comes from outside the server; keep the report on one line so
// that the host can read it as such.
std::string single_line(const char* reason) {
  std::string line = reason != nullptr && *reason != '\0' ? reason : kUnknownFailure;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

ChunkOutcome report_failure(const Command& command, ProtocolOutput& output, const char* reason) {
  const std::string report =
      std::string(kErrorPrefix) + command.action + " " + command.module + ": " + single_line(reason) + "\n";
  return write_text(output, report) ? ChunkOutcome::Served : ChunkOutcome::OutputGone;
}

ChunkOutcome run_load(const Command& command, ProtocolOutput& output, CalibrationLibrary& library) {
  try {
    library.cli(command.action, command.module);
    return ChunkOutcome::Served;
  } catch (const std::exception& failure) {
    return report_failure(command, output, failure.what());
  } catch (...) {
    // A library may throw anything; the server reports it and goes on.
    return report_failure(command, output, nullptr);
  }
}

}  // namespace

ChunkOutcome serve_chunk(const char* chunk, std::size_t count, ProtocolOutput& output, CalibrationLibrary& library) {
  output.copy_to_buffered_stream(chunk);
  if (!output.write(chunk, count)) return ChunkOutcome::OutputGone;
  // The host learns that the command was taken, not that it finished.
  if (!output.write(kAcknowledgement, std::strlen(kAcknowledgement))) {
    return ChunkOutcome::OutputGone;
  }
  const Command* command = find_command(chunk);
  if (command == nullptr) return ChunkOutcome::Served;
  if (command->kind == CommandKind::Exit) return ChunkOutcome::Exit;
  return run_load(*command, output, library);
}

}  // namespace calvane
