// A DLL in the shape of the tone-mapping export: plain cdecl C functions, one
// of which works on two threads so that the linked-in thread runtime is used.
#include <cstdint>
#include <thread>

extern "C" {
__declspec(dllexport) int64_t __cdecl probe_sum(const int32_t* values, int32_t count);
__declspec(dllexport) double __cdecl probe_double_rounding(double big, double small);
}

int64_t __cdecl probe_sum(const int32_t* values, int32_t count) {
  if (values == nullptr || count <= 0) return 0;
  const int32_t half = count / 2;
  int64_t first = 0;
  std::thread worker([&] {
    for (int32_t i = 0; i < half; ++i) first += values[i];
  });
  int64_t second = 0;
  for (int32_t i = half; i < count; ++i) second += values[i];
  worker.join();
  return first + second;
}

// (big + small) - big is 0 when the sum is rounded to a double before the
// subtraction (big = 1e16, small = 1), and 1 when it stays in an 80-bit x87
// register: the two give different bits from the same source.
double __cdecl probe_double_rounding(double big, double small) { return (big + small) - big; }
