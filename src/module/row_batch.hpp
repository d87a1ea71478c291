// geokern module layer: the frame of the (N, 3) -> (N, 3) batch functions.
//
// Takes argument 0 (`arr`) as a read-only float64 view (None counts as zero
// rows; fewer than 3 columns are rejected before anything is made), makes
// the result with np.empty((N, 3), dtype=np.float64) and fills it with
// `kernel(in0, in1, in2, out)` simd::kLanes rows at a time, in parallel with
// the interpreter lock released.  `kernel` must be pure arithmetic.
#pragma once

#include "core/simd.hpp"
#include "module/function.hpp"
#include "module/parallel.hpp"
#include "module/view.hpp"

namespace gk {

template <class Kernel>
PyObject* map_rows3(Call& call, Kernel kernel) {
    ArrayView in;
    if (!ArrayView::acquire(call[0], kConstDouble2D, in)) return GK_FAIL(call);
    if (!in.require_columns(3, "arr")) return GK_FAIL(call);
    const Py_ssize_t n = in.extent(0);
    PyRef result;
    ArrayView out;
    if (!new_result("empty", {n, 3}, "float64", kFloat64T2D, result, out)) return GK_FAIL(call);
    const auto src = in.rows<const double>();
    const auto dst = out.rows<double>();
    const bool done = parallel_groups<simd::kLanes>(n, [src, dst, kernel](Py_ssize_t i, int count) {
        simd::Vd a[3], b[3];
        simd::gather(src, i, count, a);
        kernel(a[0], a[1], a[2], b);
        simd::scatter(dst, i, count, b);
    });
    if (!done) return GK_FAIL(call);
    return result.release();
}

}  // namespace gk
