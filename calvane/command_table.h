#pragma once
// The bracketed markers the host sends and what each one asks of the
// calibration library.

#include <cstddef>

namespace calvane {

enum class CommandKind { Exit, Load };

struct Command {
  const char* marker;  // searched for anywhere in a chunk, e.g. "[awb]"
  CommandKind kind;
  const char* action;  // library action word; null for Exit
  const char* module;  // library module word; null for Exit
};

// The table in search order. Order matters: "[exit]" comes first so that a
// chunk holding it together with another marker only shuts down, and the
// modules follow in a fixed order that the host relies on rather than the
// order of the text.
const Command* command_table();
std::size_t command_table_size();

// The first command of the table whose marker occurs in `chunk`, or null.
// The chunk is a zero-terminated string: bytes after an embedded zero are
// not searched, the same as the text the library would be handed.
const Command* find_command(const char* chunk);

// Action and module of the one call made at start-up, before any command.
inline constexpr const char* kPreloadAction = "preload";
inline constexpr const char* kPreloadModule = "suit";

}  // namespace calvane
