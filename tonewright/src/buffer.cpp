#include "buffer.h"

#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tonewright {

namespace {

// Smaller blocks come and go through calloc: the allocator reuses them
// without new pages anyway.
constexpr size_t kKeepFrom = size_t(256) << 10;
constexpr int kKeptMax = 12;
// A 3840 x 2160 call works in some 25 MiB; a 32-bit process keeps less of
// its address space tied up.
constexpr size_t kKeptBytesMax = sizeof(void*) < 8 ? size_t(64) << 20 : size_t(256) << 20;
#if defined(__linux__)
constexpr size_t kHugePage = size_t(2) << 20;
#endif

struct Kept {
  void* block;
  size_t capacity;
};

// The blocks kept from earlier calls, oldest first.
struct KeptBlocks {
  std::mutex guard;
  Kept blocks[kKeptMax];
  int count = 0;
  size_t bytes = 0;

  void remove(int i) {
    bytes -= blocks[i].capacity;
    for (int k = i + 1; k < count; ++k) blocks[k - 1] = blocks[k];
    --count;
  }
};

// Never destroyed: a call made while the process ends still finds it.
KeptBlocks& kept() {
  static KeptBlocks* blocks = new KeptBlocks;
  return *blocks;
}

// The kept block of the least capacity that holds `bytes` without wasting
// more than as much again, or null.
void* take_kept(size_t bytes, size_t& capacity) {
  KeptBlocks& k = kept();
  std::lock_guard<std::mutex> lock(k.guard);
  int best = -1;
  for (int i = 0; i < k.count; ++i) {
    const size_t c = k.blocks[i].capacity;
    if (c >= bytes && c / 2 <= bytes && (best < 0 || c < k.blocks[best].capacity)) best = i;
  }
  if (best < 0) return nullptr;
  void* block = k.blocks[best].block;
  capacity = k.blocks[best].capacity;
  k.remove(best);
  return block;
}

void* fresh_block(size_t bytes, bool zero) {
  if (zero) return std::calloc(bytes, 1);
#if defined(__linux__)
  if (bytes >= 2 * kHugePage) {
    void* p = nullptr;
    if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
    madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure is harmless
    return p;
  }
#endif
  return std::malloc(bytes);
}

}  // namespace

void* take_block(size_t bytes, bool zero, size_t& capacity) {
  capacity = 0;
  if (bytes < kKeepFrom) return std::calloc(bytes ? bytes : 1, 1);
  if (void* block = take_kept(bytes, capacity)) {
    if (zero) std::memset(block, 0, bytes);
    return block;
  }
  void* block = fresh_block(bytes, zero);
  // Memory held for later calls is given up before this one fails.
  if (!block && drop_kept_blocks() > 0) block = fresh_block(bytes, zero);
  if (block) capacity = bytes;
  return block;
}

void give_back_block(void* block, size_t capacity) noexcept {
  if (!block) return;
  if (capacity == 0 || capacity > kKeptBytesMax) {
    std::free(block);
    return;
  }
  KeptBlocks& k = kept();
  std::lock_guard<std::mutex> lock(k.guard);
  while (k.count > 0 && (k.count == kKeptMax || k.bytes + capacity > kKeptBytesMax)) {
    std::free(k.blocks[0].block);
    k.remove(0);
  }
  k.blocks[k.count++] = Kept{block, capacity};
  k.bytes += capacity;
}

int drop_kept_blocks() noexcept {
  KeptBlocks& k = kept();
  std::lock_guard<std::mutex> lock(k.guard);
  const int dropped = k.count;
  for (int i = 0; i < k.count; ++i) std::free(k.blocks[i].block);
  k.count = 0;
  k.bytes = 0;
  return dropped;
}

}  // namespace tonewright
