// The library layer against the stand-in library, in process.

#include "loaded_library.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace calvane {
namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text of the `Error` that `call` throws; fails the test when it throws
// nothing.
template <typename Error, typename Call>
std::string error_text(Call call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  ADD_FAILURE() << "expected an exception";
  return "";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"CALVIX_JOURNAL", "CALVIX_FAIL_INIT", "CALVIX_FAIL_RUNTIME",
                             "CALVIX_THROW_MODULE", "CALVIX_DELAY_MS"}) {
      unsetenv(name);
    }
    journal = ::testing::TempDir() + "calvix_journal_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    std::remove(journal.c_str());
    library = load_calibration_library(CALVIX_STANDIN_PATH);
  }

  void initialize() {
    ASSERT_TRUE(library->initialize_runtime());
    ASSERT_TRUE(library->initialize());
  }

  std::string journal;
  std::unique_ptr<CalibrationLibrary> library;
};

TEST(LibraryPath, VariableWinsElseNextToTheExecutable) {
  EXPECT_EQ(library_path("/opt/lib/x.so", "/usr/bin/"), "/opt/lib/x.so");
  EXPECT_EQ(library_path("", "/usr/bin/"), "/usr/bin/libcalvix.so");
  EXPECT_EQ(library_path(nullptr, "/usr/bin/"), "/usr/bin/libcalvix.so");
}

TEST(LoadCalibrationLibrary, MissingFileIsNamed) {
  const std::string text = error_text<LibraryLoadError>(
      [] { load_calibration_library("/nonexistent/libcalvix.so"); });
  EXPECT_TRUE(contains(text, "/nonexistent/libcalvix.so")) << text;
}

TEST(LoadCalibrationLibrary, LibraryWithoutTheEntryPointsIsRefused) {
  const std::string text =
      error_text<LibraryLoadError>([] { load_calibration_library("libm.so.6"); });
  EXPECT_TRUE(contains(text, "libm.so.6")) << text;
  EXPECT_TRUE(contains(text, "CalvixRuntimeInitialize")) << text;
}

TEST_F(StandinTest, InitialisersFailOnRequest) {
  setenv("CALVIX_FAIL_RUNTIME", "1", 1);
  EXPECT_FALSE(library->initialize_runtime());
  unsetenv("CALVIX_FAIL_RUNTIME");
  EXPECT_TRUE(library->initialize_runtime());
  setenv("CALVIX_FAIL_INIT", "1", 1);
  EXPECT_FALSE(library->initialize());
  setenv("CALVIX_FAIL_INIT", "0", 1);
  EXPECT_TRUE(library->initialize());
}

TEST_F(StandinTest, EveryCallIsJournalledBeforeItReturns) {
  initialize();
  setenv("CALVIX_JOURNAL", journal.c_str(), 1);
  library->cli("preload", "suit");
  EXPECT_EQ(read_file(journal), "preload suit\n");
  library->cli("load", "cac");
  EXPECT_EQ(read_file(journal), "preload suit\nload cac\n");
}

TEST_F(StandinTest, ChosenModuleFailsAsLibraryErrorOthersStillWork) {
  initialize();
  setenv("CALVIX_JOURNAL", journal.c_str(), 1);
  setenv("CALVIX_THROW_MODULE", "blc", 1);
  const std::string text = error_text<LibraryError>([&] { library->cli("load", "blc"); });
  EXPECT_TRUE(contains(text, "'blc'")) << text;
  EXPECT_NO_THROW(library->cli("load", "awb"));
  EXPECT_EQ(read_file(journal), "load blc\nload awb\n");
}

TEST_F(StandinTest, MalformedDelayIsReportedWithTheValueFound) {
  initialize();
  setenv("CALVIX_DELAY_MS", "12ms", 1);
  const std::string text = error_text<LibraryError>([&] { library->cli("load", "nc"); });
  EXPECT_TRUE(contains(text, "CALVIX_DELAY_MS")) << text;
  EXPECT_TRUE(contains(text, "'12ms'")) << text;
}

TEST_F(StandinTest, UnwritableJournalFailsTheCallNamingTheFile) {
  initialize();
  setenv("CALVIX_JOURNAL", "/nonexistent/dir/journal.txt", 1);
  const std::string text = error_text<LibraryError>([&] { library->cli("load", "xg"); });
  EXPECT_TRUE(contains(text, "/nonexistent/dir/journal.txt")) << text;
}

}  // namespace
}  // namespace calvane
