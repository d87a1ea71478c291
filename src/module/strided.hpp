// geokern array views: strided element access for the numeric kernels.
//
// A plain record (no Python) that the kernels of src/core, src/ecef, ...
// take instead of an array object: element (i, j) lives at
// data + i * row_stride + j * col_stride bytes.  Strides may be negative
// or zero; nothing here checks an index against a shape.
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
};

}  // namespace gk
