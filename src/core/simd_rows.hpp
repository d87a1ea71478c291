// geokern core: rows in and out of the vector kernels.
//
// gather() takes columns of a group of kLanes rows into vectors and
// scatter() puts vectors back as columns; map_rows() makes a RowKernel
// (row_kernel.hpp) of a kernel over vectors.  Full groups of packed rows
// (numpy's C-contiguous float64 arrays) move as whole registers, taken
// apart and put together in registers (the register layer's load_rows and
// store_rows); other layouts are copied element by element.
#pragma once

#include "core/simd.hpp"
#include "core/strided.hpp"

#include <cassert>
#include <cstddef>
#include <cstring>

namespace gk::simd::inline GK_SIMD_ISA {

namespace detail {

// Whether a group of `count` rows is a full one of packed rows of w
// doubles each, as in numpy's C-contiguous (N, w) float64 arrays.
template <class T>
inline bool packed(StridedRows<T> rows, int count, int w) {
    constexpr std::ptrdiff_t d = sizeof(double);
    return count == kLanes && rows.col_stride == d && rows.row_stride == w * d;
}

}  // namespace detail

// Columns 0 .. C-1 of rows i .. i + count - 1 (1 <= count <= kLanes) of a
// strided row set, one vector per column.  Lanes past `count` repeat the
// last row, so they compute something harmless and are never stored.
// Packed rows are loaded as whole vectors and taken apart in registers;
// other layouts are copied element by element.  Nothing needs to be
// aligned (numpy arrays need not be): the copies are byte-wise and the
// vector loads and stores unaligned ones.
template <int C>
void gather(StridedRows<const double> rows, std::ptrdiff_t i, int count, Vd (&out)[C]) {
    assert(count >= 1 && count <= kLanes);
    const auto take = [&out, &rows, i]<int W>() {
        const auto* block = reinterpret_cast<const double*>(rows.data + i * rows.row_stride);
        for (int k = 0; k < kRegs; ++k) {
            reg::Reg cols[C];
            reg::load_rows<C, W>(block + W * reg::kLanes * k, cols);
            for (int c = 0; c < C; ++c) out[c].r[k] = cols[c];
        }
    };
    if (detail::packed(rows, count, C)) return take.template operator()<C>();
    // Three columns of four (homogeneous rows) cost no more to take apart.
    if constexpr (C == 3) {
        if (detail::packed(rows, count, 4)) return take.template operator()<4>();
    }
    alignas(64) double lanes[C][kLanes];
    for (int l = 0; l < kLanes; ++l) {
        const char* row = rows.data + (i + (l < count ? l : count - 1)) * rows.row_stride;
        for (int c = 0; c < C; ++c)
            std::memcpy(&lanes[c][l], row + c * rows.col_stride, sizeof(double));
    }
    for (int c = 0; c < C; ++c) out[c] = load(lanes[c]);
}

// Stores the first `count` lanes of each vector into columns 0 .. C-1 of
// rows i .. i + count - 1: a full group of packed rows as whole vectors,
// anything else element by element.
template <int C>
void scatter(StridedRows<double> rows, std::ptrdiff_t i, int count, const Vd (&in)[C]) {
    assert(count >= 0 && count <= kLanes);
    if (detail::packed(rows, count, C)) {
        auto* block = reinterpret_cast<double*>(rows.data + i * rows.row_stride);
        for (int k = 0; k < kRegs; ++k) {
            reg::Reg cols[C];
            for (int c = 0; c < C; ++c) cols[c] = in[c].r[k];
            reg::store_rows<C>(block + C * reg::kLanes * k, cols);
        }
        return;
    }
    alignas(64) double lanes[C][kLanes];
    for (int c = 0; c < C; ++c) store(lanes[c], in[c]);
    for (int l = 0; l < count; ++l) {
        char* row = rows.data + (i + l) * rows.row_stride;
        for (int c = 0; c < C; ++c)
            std::memcpy(row + c * rows.col_stride, &lanes[c][l], sizeof(double));
    }
}

// A RowKernel (row_kernel.hpp) from `Kernel(in0, in1, in2, out)`: columns
// 0, 1, 2 of each row in, Out columns out, kLanes rows at a time.  The
// loop is compiled as one function, gather, kernel and scatter inlined:
// its vectors then stay in registers instead of going through the stack
// at each call.
template <int Out, auto Kernel>
[[gnu::flatten]] void map_rows(StridedRows<const double> src, StridedRows<double> dst,
                               std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    for (std::ptrdiff_t i = begin; i < end; i += kLanes) {
        const int count = end - i < kLanes ? static_cast<int>(end - i) : kLanes;
        Vd in[3], out[Out];
        gather(src, i, count, in);
        Kernel(in[0], in[1], in[2], out);
        scatter(dst, i, count, out);
    }
}

}  // namespace gk::simd::inline GK_SIMD_ISA
