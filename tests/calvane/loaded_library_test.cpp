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

void set_variable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

void clear_variable(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");  // an empty value removes the variable
#else
  unsetenv(name);
#endif
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"CALVIX_JOURNAL", "CALVIX_FAIL_INIT", "CALVIX_FAIL_RUNTIME", "CALVIX_THROW_MODULE", "CALVIX_DELAY_MS"}) {
      clear_variable(name);
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

#ifdef _WIN32
constexpr char kLibraryFileName[] = "calvix.dll";
// A system library that exports none of the calibration entry points.
constexpr char kForeignLibrary[] = "kernel32.dll";
#else
constexpr char kLibraryFileName[] = "libcalvix.so";
constexpr char kForeignLibrary[] = "libm.so.6";
#endif

TEST(LibraryPath, VariableWinsElseNextToTheExecutable) {
  EXPECT_EQ(library_path("/opt/lib/x.so", "/usr/bin/"), "/opt/lib/x.so");
  EXPECT_EQ(library_path("", "/usr/bin/"), std::string("/usr/bin/") + kLibraryFileName);
  EXPECT_EQ(library_path(nullptr, "/usr/bin/"), std::string("/usr/bin/") + kLibraryFileName);
}

TEST(LoadCalibrationLibrary, MissingFileIsNamed) {
  const std::string text = error_text<LibraryLoadError>([] { load_calibration_library("/nonexistent/libcalvix.so"); });
  EXPECT_TRUE(contains(text, "/nonexistent/libcalvix.so")) << text;
}

TEST(LoadCalibrationLibrary, LibraryWithoutTheEntryPointsIsRefused) {
  const std::string text = error_text<LibraryLoadError>([] { load_calibration_library(kForeignLibrary); });
  EXPECT_TRUE(contains(text, kForeignLibrary)) << text;
  EXPECT_TRUE(contains(text, "CalvixRuntimeInitialize")) << text;
}

TEST_F(StandinTest, InitialisersFailOnRequest) {
  set_variable("CALVIX_FAIL_RUNTIME", "1");
  EXPECT_FALSE(library->initialize_runtime());
  clear_variable("CALVIX_FAIL_RUNTIME");
  EXPECT_TRUE(library->initialize_runtime());
  set_variable("CALVIX_FAIL_INIT", "1");
  EXPECT_FALSE(library->initialize());
  set_variable("CALVIX_FAIL_INIT", "0");
  EXPECT_TRUE(library->initialize());
}

TEST_F(StandinTest, EveryCallIsJournalledBeforeItReturns) {
  initialize();
  set_variable("CALVIX_JOURNAL", journal.c_str());
  library->cli("preload", "suit");
  EXPECT_EQ(read_file(journal), "preload suit\n");
  library->cli("load", "cac");
  EXPECT_EQ(read_file(journal), "preload suit\nload cac\n");
}

TEST_F(StandinTest, ChosenModuleFailsAsLibraryErrorOthersStillWork) {
  initialize();
  set_variable("CALVIX_JOURNAL", journal.c_str());
  set_variable("CALVIX_THROW_MODULE", "blc");
  const std::string text = error_text<LibraryError>([&] { library->cli("load", "blc"); });
  EXPECT_TRUE(contains(text, "'blc'")) << text;
  EXPECT_NO_THROW(library->cli("load", "awb"));
  EXPECT_EQ(read_file(journal), "load blc\nload awb\n");
}

TEST_F(StandinTest, MalformedDelayIsReportedWithTheValueFound) {
  initialize();
  set_variable("CALVIX_DELAY_MS", "12ms");
  const std::string text = error_text<LibraryError>([&] { library->cli("load", "nc"); });
  EXPECT_TRUE(contains(text, "CALVIX_DELAY_MS")) << text;
  EXPECT_TRUE(contains(text, "'12ms'")) << text;
}

TEST_F(StandinTest, UnwritableJournalFailsTheCallNamingTheFile) {
  initialize();
  set_variable("CALVIX_JOURNAL", "/nonexistent/dir/journal.txt");
  const std::string text = error_text<LibraryError>([&] { library->cli("load", "xg"); });
  EXPECT_TRUE(contains(text, "/nonexistent/dir/journal.txt")) << text;
}

}  // namespace
}  // namespace calvane
