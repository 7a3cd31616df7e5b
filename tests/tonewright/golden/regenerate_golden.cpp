// Rewrites the golden output frames from the current library. Run it only
// after a deliberate change of the model, and review the diff:
//   tonewright_regenerate_golden tests/tonewright/golden/data
#include <cstdio>
#include <string>

#include "case_builder.h"
#include "tonewright.h"

using namespace tonewright_cases;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <golden data directory>\n", argv[0]);
    return 2;
  }
  for (int c = 0; c < kGoldenCaseCount; ++c) {
    const GoldenCase& gc = kGoldenCases[c];
    ExportArgs args;
    std::string error;
    if (!run_golden_case(gc, args, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    const std::string path = std::string(argv[1]) + "/" + golden_file_name(gc);
    if (!write_golden(path, args.image)) {
      std::fprintf(stderr, "%s: cannot write 16-bit values\n", path.c_str());
      return 1;
    }
    std::printf("wrote %s (%d x %d)\n", path.c_str(), args.height, args.width);
  }
  return 0;
}
