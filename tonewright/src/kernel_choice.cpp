// Which kernel table a call uses: the best the processor runs, unless a test
// asked for another.
#include <atomic>

#include "row_kernels.h"

namespace tonewright {

namespace {

std::atomic<const Kernels*> g_forced{nullptr};

}  // namespace

#if !TONEWRIGHT_SIMD
const Kernels& best_kernels() { return scalar_kernels(); }
int available_kernel_count() { return 1; }
const Kernels& available_kernels(int) { return scalar_kernels(); }
#endif

void force_kernels(const Kernels* k) { g_forced.store(k); }

const Kernels& call_kernels() {
  const Kernels* forced = g_forced.load();
  return forced ? *forced : best_kernels();
}

}  // namespace tonewright
