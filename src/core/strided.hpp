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
#pragma once

#include <cstddef>

namespace gk {

template <class T>
struct StridedRows {
    char* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;

    T& operator()(std::ptrdiff_t i, std::ptrdiff_t j) const {
        return *reinterpret_cast<T*>(data + i * row_stride + j * col_stride);
    }
};

// The same for a one-dimensional array: item i lives at data + i * stride.
template <class T>
struct StridedItems {
    char* data;
    std::ptrdiff_t stride;

    T& operator[](std::ptrdiff_t i) const { return *reinterpret_cast<T*>(data + i * stride); }

    // Item i read in one untorn load that the compiler may neither repeat
    // nor merge with another read, however another thread changes it.
    T load_once(std::ptrdiff_t i) const noexcept {
        return __atomic_load_n(&(*this)[i], __ATOMIC_RELAXED);
    }
};

}  // namespace gk
