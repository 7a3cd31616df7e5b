#include "command_table.h"

#include <cstring>
#include <iterator>

namespace calvane {
namespace {

constexpr const char* kLoadAction = "load";

constexpr Command kCommands[] = {
    {"[exit]", CommandKind::Exit, nullptr, nullptr},  {"[awb]", CommandKind::Load, kLoadAction, "awb"},
    {"[blc]", CommandKind::Load, kLoadAction, "blc"}, {"[cac]", CommandKind::Load, kLoadAction, "cac"},
    {"[cc]", CommandKind::Load, kLoadAction, "cc"},   {"[lsc]", CommandKind::Load, kLoadAction, "lsc"},
    {"[nc]", CommandKind::Load, kLoadAction, "nc"},   {"[xg]", CommandKind::Load, kLoadAction, "xg"},
};

}  // namespace

const Command* command_table() { return kCommands; }

std::size_t command_table_size() { return std::size(kCommands); }

const Command* find_command(const char* chunk) {
  for (const Command& command : kCommands) {
    if (std::strstr(chunk, command.marker) != nullptr) return &command;
  }
  return nullptr;
}

}  // namespace calvane
