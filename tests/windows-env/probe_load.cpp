// Loads the probe DLL as a Windows host loads the tone-mapping DLL
// (LoadLibrary, then GetProcAddress by the plain name) and checks its results.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <numeric>
#include <vector>

using SumFn = int64_t(__cdecl*)(const int32_t*, int32_t);
using RoundingFn = double(__cdecl*)(double, double);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: probe_load DLL\n");
    return 2;
  }
  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == nullptr) {
    std::fprintf(stderr, "probe_load: cannot load %s (Windows error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  auto sum = reinterpret_cast<SumFn>(reinterpret_cast<void*>(GetProcAddress(dll, "probe_sum")));
  auto rounding = reinterpret_cast<RoundingFn>(reinterpret_cast<void*>(GetProcAddress(dll, "probe_double_rounding")));
  if (sum == nullptr || rounding == nullptr) {
    std::fprintf(stderr, "probe_load: %s does not export probe_sum and probe_double_rounding by those names\n",
                 argv[1]);
    return 1;
  }

  std::vector<int32_t> values(1000);
  std::iota(values.begin(), values.end(), 1);
  const int64_t expected_sum = 1000 * 1001 / 2;
  const int64_t found_sum = sum(values.data(), static_cast<int32_t>(values.size()));
  if (found_sum != expected_sum) {
    std::fprintf(stderr, "probe_load: probe_sum(1..1000): expected %lld, found %lld\n",
                 static_cast<long long>(expected_sum), static_cast<long long>(found_sum));
    return 1;
  }
  const double found_rounding = rounding(1e16, 1.0);
  if (found_rounding != 0.0) {
    std::fprintf(stderr, "probe_load: (1e16 + 1) - 1e16: expected 0 with 64-bit doubles, found %g\n", found_rounding);
    return 1;
  }
  std::printf("probe_load: %s called through its plain export names\n", argv[1]);
  return 0;
}
