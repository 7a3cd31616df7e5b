#include "shared/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_files.h"

using namespace tuning;

namespace {

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::size_t entries(const std::string& dir) {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

}  // namespace

TEST(AtomicFile, ReplacesWholeOnCommitAndLeavesNothingOtherwise) {
  tunekit_test::ScratchDir dir;
  const std::string path = dir.file("result.json");
  write_file_atomically(path, "old");
  {
    AtomicFile file(path);
    file.write("new half", 8);
    EXPECT_EQ(contents(path), "old");  // not visible before commit
  }                                    // dropped without commit: a failed write
  EXPECT_EQ(contents(path), "old");
  EXPECT_EQ(entries(dir.path()), 1u);
  AtomicFile file(path);
  file.write("new", 3);
  file.commit();
  EXPECT_EQ(contents(path), "new");
  EXPECT_EQ(entries(dir.path()), 1u);
}

TEST(AtomicFile, GetsTheUsualPermissionsAndNamesAMissingFolder) {
  tunekit_test::ScratchDir dir;
  const mode_t old_mask = ::umask(022);
  write_file_atomically(dir.file("a.raw"), "x");
  ::umask(old_mask);
  struct stat info {};
  ASSERT_EQ(::stat(dir.file("a.raw").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  try {
    write_file_atomically(dir.file("missing/a.raw"), "x");
    FAIL() << "wrote into a missing folder";
  } catch (const std::filesystem::filesystem_error& e) {
    EXPECT_NE(std::string(e.what()).find("missing/a.raw"), std::string::npos) << e.what();
  }
}
