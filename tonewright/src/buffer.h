// Working arrays. Small ones are zero-filled from calloc. Large arrays the
// stages overwrite completely skip the clearing pass and, on Linux, ask for
// huge pages: a fresh 4 KiB page costs a fault and a clear each, and a 4K
// frame touches tens of thousands of them per call. Sizes are checked so a
// huge frame fails as an allocation instead of wrapping round.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tonewright {

enum class Fill { zero, overwritten };

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
        void* p = nullptr;
#if defined(__linux__)
        constexpr size_t kHugePage = size_t(2) << 20;
        const size_t bytes = (size_ ? size_ : 1) * sizeof(T);
        if (fill == Fill::overwritten && bytes >= 2 * kHugePage) {
            if (posix_memalign(&p, kHugePage, bytes) != 0) p = nullptr;
            if (p) madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure is harmless
        } else
#endif
        {
            (void)fill;
            p = std::calloc(size_ ? size_ : 1, sizeof(T));
        }
        if (!p) throw std::bad_alloc();
        data_.reset(static_cast<T*>(p));
    }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    T& operator[](size_t i) { return data_.get()[i]; }
    const T& operator[](size_t i) const { return data_.get()[i]; }
    size_t size() const { return size_; }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    size_t size_ = 0;
};

}  // namespace tonewright
