// Runs every golden case through the library's C export and compares the
// output frame with the stored one, value for value. Plain C++ so the same
// check runs against the Windows DLL under wine.
//   usage: tonewright_golden_runner <golden data directory>
#include <cstdio>
#include <string>
#include <vector>

#include "case_builder.h"
#include "tonewright.h"

using namespace tonewright_cases;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <golden data directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  int failures = 0;
  for (int c = 0; c < kGoldenCaseCount; ++c) {
    const GoldenCase& gc = kGoldenCases[c];
    ExportArgs args;
    std::string error;
    if (!run_golden_case(gc, args, error)) {
      std::printf("FAIL %s\n", error.c_str());
      ++failures;
      continue;
    }
    const std::string path = dir + "/" + golden_file_name(gc);
    std::vector<int32_t> expected;
    if (!read_golden(path, args.image.size(), expected, error)) {
      std::printf("FAIL %s: %s\n", gc.name, error.c_str());
      ++failures;
      continue;
    }
    size_t mismatches = 0, first = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
      if (expected[i] != args.image[i] && mismatches++ == 0) first = i;
    }
    if (mismatches) {
      std::printf("FAIL %s: %zu of %zu values differ; first at row %zu column %zu: expected %d, found %d\n", gc.name,
                  mismatches, expected.size(), first / size_t(args.width), first % size_t(args.width), expected[first],
                  args.image[first]);
      ++failures;
    } else {
      std::printf("ok   %s: %zu values match\n", gc.name, expected.size());
    }
  }
  return failures == 0 ? 0 : 1;
}
