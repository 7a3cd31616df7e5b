#include "command_table.h"

#include <gtest/gtest.h>

#include <string>

namespace calvane {
namespace {

std::string module_of(const char* chunk) {
  const Command* command = find_command(chunk);
  if (command == nullptr) return "none";
  return command->kind == CommandKind::Exit ? "exit" : command->module;
}

TEST(CommandTable, EveryModuleMarkerLoadsItsModule) {
  for (const char* module : {"awb", "blc", "cac", "cc", "lsc", "nc", "xg"}) {
    const std::string chunk = std::string("[") + module + "]";
    const Command* command = find_command(chunk.c_str());
    ASSERT_NE(command, nullptr) << chunk;
    EXPECT_EQ(command->kind, CommandKind::Load);
    EXPECT_STREQ(command->action, "load");
    EXPECT_STREQ(command->module, module);
  }
}

TEST(CommandTable, TableOrderWinsOverTextOrder) {
  EXPECT_EQ(module_of("[lsc][awb]"), "awb");
  EXPECT_EQ(module_of("[xg] then [blc]"), "blc");
  EXPECT_EQ(module_of("[awb][exit]"), "exit");
  EXPECT_EQ(module_of("[nc][exit][cc]"), "exit");
}

TEST(CommandTable, MarkersMatchOnlyWhole) {
  EXPECT_EQ(module_of("[cac]"), "cac");  // not "[cc]", although it ends in "c]"
  EXPECT_EQ(module_of("[cc]"), "cc");
  EXPECT_EQ(module_of("awb"), "none");
  EXPECT_EQ(module_of("[AWB]"), "none");
  EXPECT_EQ(module_of("[ awb]"), "none");
  EXPECT_EQ(module_of("[bl"), "none");
  EXPECT_EQ(module_of(""), "none");
}

TEST(CommandTable, MarkerAnywhereInTheTextCounts) {
  EXPECT_EQ(module_of("[blc]\r\n"), "blc");
  EXPECT_EQ(module_of("run [lsc] now\n"), "lsc");
}

TEST(CommandTable, TextAfterAnEmbeddedZeroIsNotSearched) {
  const char chunk[] = "abc\0[awb]";
  EXPECT_EQ(find_command(chunk), nullptr);
}

}  // namespace
}  // namespace calvane
