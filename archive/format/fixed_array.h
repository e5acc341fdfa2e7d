// A heap array of trivially copyable elements whose length is fixed at creation.
//
// Unlike std::vector it can be created without initialising its elements, so tables that
// are about to be filled from the file are not written twice.
#pragma once

#include <cstdint>
#include <cstdlib>

#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include "system/large_pages.h"

namespace qev {

template <typename T>
class FixedArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    FixedArray() = default;
    FixedArray(FixedArray&& other) noexcept : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}
    FixedArray& operator=(FixedArray&& other) noexcept {
        data_ = std::move(other.data_);
        size_ = std::exchange(other.size_, 0);
        return *this;
    }

    // Elements hold whatever the allocator returned; the caller fills them all. Large
    // arrays get large pages where the system has them: fewer page faults on filling and
    // a cheaper release.
    static FixedArray uninitialized(size_t count) { return FixedArray(count, false); }
    // Elements are zero bytes; large blocks come straight from zeroed pages of the system.
    static FixedArray zeroed(size_t count) { return FixedArray(count, true); }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }

private:
    struct Free {
        size_t bytes = 0;  // non-zero for memory that came from allocateLargePages
        void operator()(T* p) const {
            if (bytes != 0) {
                freeLargePages(p, bytes);
            } else {
                std::free(p);
            }
        }
    };

    FixedArray(size_t count, bool zero) : size_(count) {
        if (count == 0) return;
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        size_t bytes = count * sizeof(T);
        void* p = nullptr;
        if (!zero && bytes >= kLargePageThreshold) p = allocateLargePages(bytes);
        if (p != nullptr) {
            data_ = std::unique_ptr<T[], Free>(static_cast<T*>(p), Free{bytes});
            return;
        }
        p = zero ? std::calloc(count, sizeof(T)) : std::malloc(bytes);
        if (p == nullptr) throw std::bad_alloc();
        data_.reset(static_cast<T*>(p));
    }

    std::unique_ptr<T[], Free> data_;
    size_t size_ = 0;
};

}  // namespace qev
