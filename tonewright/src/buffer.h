// Working arrays. Small ones are zero-filled from calloc. Large ones come
// from a few blocks kept from earlier calls: a fresh page costs a fault and
// a clear each, and a 4K frame touches tens of thousands of them per call.
// Arrays the stages overwrite completely skip the clearing pass and, on
// Linux, ask for huge pages when they are made. Sizes are checked so a huge
// frame fails as an allocation instead of wrapping round.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <new>

namespace tonewright {

enum class Fill { zero, overwritten };

// Memory for `bytes` (zeroed when `zero`), null when there is none; sets
// `capacity` to what give_back_block needs. Thread-safe.
void* take_block(size_t bytes, bool zero, size_t& capacity);
// Frees a block from take_block or keeps it for a later call.
void give_back_block(void* block, size_t capacity) noexcept;
// Frees every kept block; returns how many there were.
int drop_kept_blocks() noexcept;

template <typename T>
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::initializer_list<uint64_t> dims, Fill fill = Fill::zero) {
    uint64_t count = 1;
    for (uint64_t d : dims) {
      if (d != 0 && count > SIZE_MAX / sizeof(T) / d) throw std::bad_alloc();
      count *= d;
    }
    size_ = size_t(count);
    const size_t bytes = (size_ ? size_ : 1) * sizeof(T);
    size_t capacity = 0;
    void* p = take_block(bytes, fill == Fill::zero, capacity);
    if (!p) throw std::bad_alloc();
    data_ = std::unique_ptr<T, Free>(static_cast<T*>(p), Free{capacity});
  }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }
  T& operator[](size_t i) { return data_.get()[i]; }
  const T& operator[](size_t i) const { return data_.get()[i]; }
  size_t size() const { return size_; }

 private:
  struct Free {
    size_t capacity = 0;
    void operator()(T* p) const { give_back_block(p, capacity); }
  };
  std::unique_ptr<T, Free> data_;
  size_t size_ = 0;
};

}  // namespace tonewright
