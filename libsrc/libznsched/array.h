// array.h -- a growable array of plain values whose growth reports running out of memory.
//
// The libraries are built without exceptions, so std::vector would abort
// when it cannot grow. The scheduler's indexes grow when something is
// registered, where -12 is the contract, and never while the loop runs:
// room is reserved up front, and push_back() within it cannot fail.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

template <class T>
class PlainArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    PlainArray() = default;
    PlainArray(const PlainArray &) = delete;
    PlainArray &operator=(const PlainArray &) = delete;
    ~PlainArray() { free(data_); }

    // Room for at least n elements; false (nothing changed) when out of memory.
    bool reserve(size_t n) {
        if (n <= capacity_)
            return true;
        size_t grown = capacity_ ? capacity_ : 16;
        while (grown < n)
            grown *= 2;
        auto *fresh = static_cast<T *>(realloc(data_, grown * sizeof(T)));
        if (!fresh)
            return false;
        data_ = fresh;
        capacity_ = grown;
        return true;
    }
    // n elements, the new ones zeroed; false when out of memory.
    bool resize(size_t n) {
        if (!reserve(n))
            return false;
        if (n > size_)
            memset(static_cast<void *>(data_ + size_), 0, (n - size_) * sizeof(T));
        size_ = n;
        return true;
    }
    // Within the reserved room only.
    void push_back(const T &value) { data_[size_++] = value; }
    void pop_back() { --size_; }
    void clear() { size_ = 0; }
    void release() {
        free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T *data() { return data_; }
    T &operator[](size_t i) { return data_[i]; }
    const T &operator[](size_t i) const { return data_[i]; }
    T *begin() { return data_; }
    T *end() { return data_ + size_; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }
    T &back() { return data_[size_ - 1]; }

private:
    T *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};
