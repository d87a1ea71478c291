// geokern core: the calling convention of the vector row kernels.
//
// The batch conversions are built twice, once for AVX2 and once for
// AVX-512 (simd_reg.hpp), and each build publishes its kernels as a table of
// plain function pointers of this type.  The module layer picks one table
// when the module is imported and calls its functions chunk by chunk; it
// never includes the kernels themselves, so nothing compiled for one vector
// width is inlined into code that runs on the other.
#pragma once

#include "core/strided.hpp"

#include <cstddef>

namespace gk {

// Rows per vector step of every kernel.  A chunk handed to a kernel should
// start on a multiple of it, so that only the batch's last step is short.
inline constexpr int kRowGroup = 16;

// Converts rows [begin, end) of `src` into the same rows of `dst`; reads
// only those rows of `src` and writes only those of `dst`.  Pure
// arithmetic: no allocation, no locks, no exceptions.
using RowKernel = void (*)(StridedRows<const double> src, StridedRows<double> dst,
                           std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;

}  // namespace gk
