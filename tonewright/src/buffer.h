// Zero-filled working arrays. Large arrays come straight from calloc, which
// hands out fresh zero pages without a clearing pass; sizes are checked so a
// huge frame fails as an allocation instead of wrapping round.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <new>

namespace tonewright {

template <typename T>
class Buffer {
public:
    Buffer() = default;
    explicit Buffer(std::initializer_list<uint64_t> dims) {
        uint64_t count = 1;
        for (uint64_t d : dims) {
            if (d != 0 && count > SIZE_MAX / sizeof(T) / d) throw std::bad_alloc();
            count *= d;
        }
        size_ = size_t(count);
        data_.reset(static_cast<T*>(std::calloc(size_ ? size_ : 1, sizeof(T))));
        if (!data_) throw std::bad_alloc();
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
