// geokern core: strided element access for the numeric kernels.
//
// A plain record (no Python) that the kernels of src/core, src/ecef, ...
// take instead of an array object: element (i, j) lives at
// data + i * row_stride + j * col_stride bytes.  Strides may be negative
// or zero; nothing here checks an index against a shape.
//
// The memory behind a record belongs to the caller's arrays, which another
// thread may write while a kernel runs.  A kernel that uses a value to
// address memory reads it with load_once() and checks that copy.
//
// numpy arrays need not be aligned (a view into a byte buffer, a frame
// unpickled from a stream), so an element is copied in and out through
// Element rather than read through a T*; on x86-64 the copies compile to
// the same plain loads and stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace gk {

// One element at any address: converts to its value, and (unless T is
// const) takes a new one by assignment.
template <class T>
class Element {
public:
    using Value = std::remove_const_t<T>;

    explicit Element(char* at) noexcept : at_(at) {}

    operator Value() const noexcept {
        Value v;
        std::memcpy(&v, at_, sizeof v);
        return v;
    }
    const Element& operator=(Value v) const noexcept
        requires(!std::is_const_v<T>)
    {
        std::memcpy(at_, &v, sizeof v);
        return *this;
    }
    const Element& operator=(const Element& other) const noexcept
        requires(!std::is_const_v<T>)
    {
        return *this = static_cast<Value>(other);
    }
    const Element& operator+=(Value v) const noexcept
        requires(!std::is_const_v<T>)
    {
        return *this = static_cast<Value>(*this) + v;
    }
    Value get() const noexcept { return *this; }

private:
    char* at_;
};

template <class T>
struct StridedRows {
    char* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;

    Element<T> operator()(std::ptrdiff_t i, std::ptrdiff_t j) const noexcept {
        return Element<T>(data + i * row_stride + j * col_stride);
    }
};

// The same for a one-dimensional array: item i lives at data + i * stride.
template <class T>
struct StridedItems {
    char* data;
    std::ptrdiff_t stride;

    Element<T> operator[](std::ptrdiff_t i) const noexcept { return Element<T>(data + i * stride); }

    // Item i read in one load that the compiler may neither repeat nor
    // merge with another read, however another thread changes it: untorn
    // where the item is aligned; elsewhere a torn value is still one value,
    // which the caller checks.
    std::remove_const_t<T> load_once(std::ptrdiff_t i) const noexcept {
        using Value = std::remove_const_t<T>;
        const char* at = data + i * stride;
        if (reinterpret_cast<std::uintptr_t>(at) % alignof(Value) == 0) {
            return __atomic_load_n(reinterpret_cast<const Value*>(at), __ATOMIC_RELAXED);
        }
        unsigned char bytes[sizeof(Value)];
        for (std::size_t k = 0; k < sizeof bytes; ++k) {
            bytes[k] =
                __atomic_load_n(reinterpret_cast<const unsigned char*>(at) + k, __ATOMIC_RELAXED);
        }
        Value v;
        std::memcpy(&v, bytes, sizeof v);
        return v;
    }
};

}  // namespace gk
