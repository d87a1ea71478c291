// geokern module layer: the frame of the batch functions over (N, 3) rows.
//
// map_rows3 takes argument 0 (`arr`) as a read-only float64 view (None counts as zero
// rows; fewer than 3 columns are rejected before anything is made), makes
// the result with np.empty((N, 3), dtype=np.float64) and fills it with
// `Kernel(in0, in1, in2, out)` simd::kLanes rows at a time, in parallel with
// the interpreter lock released.  `Kernel` must be pure arithmetic.
#pragma once

#include "core/simd.hpp"
#include "module/function.hpp"
#include "module/parallel.hpp"
#include "module/view.hpp"

namespace gk {

// Fills the n rows of `dst` from the first three columns of the rows of
// `src` with `Kernel(in0, in1, in2, out)` (out: Out columns),
// simd::kLanes rows at a time, in parallel with the interpreter lock
// released.  `kernel` must be pure arithmetic.  False, with KeyboardInterrupt
// set, when Ctrl-C stopped the loop.
template <int Out, auto Kernel>
[[nodiscard]] bool convert_rows(Py_ssize_t n, StridedRows<const double> src,
                                StridedRows<double> dst) {
    return parallel_groups<simd::kLanes>(n, [src, dst](Py_ssize_t i, int count) {
        simd::Vd a[3], b[Out];
        simd::gather(src, i, count, a);
        Kernel(a[0], a[1], a[2], b);
        simd::scatter(dst, i, count, b);
    });
}

template <auto Kernel>
PyObject* map_rows3(Call& call) {
    ArrayView in;
    if (!ArrayView::acquire(call[0], kConstDouble2D, in)) return call.fail();
    if (!in.require_columns(3, "arr")) return call.fail();
    const Py_ssize_t n = in.extent(0);
    PyRef result;
    ArrayView out;
    if (!new_result("empty", {n, 3}, "float64", kFloat64T2D, result, out)) return call.fail();
    if (!convert_rows<3, Kernel>(n, in.rows<const double>(), out.rows<double>()))
        return call.fail();
    return result.release();
}

}  // namespace gk
