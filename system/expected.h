// A value or the reason there is none: C++20 has no std::expected.
#pragma once

#include <utility>
#include <variant>

namespace qev {

template <typename T, typename E>
class Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    explicit operator bool() const { return v_.index() == 0; }
    T& operator*() { return std::get<0>(v_); }
    const T& operator*() const { return std::get<0>(v_); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    // Only when there is no value.
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

}  // namespace qev
