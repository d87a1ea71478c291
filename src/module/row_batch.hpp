// geokern module layer: the frame of the (N, 3) -> (N, 3) batch functions.
//
// Takes argument 0 (`arr`) as a read-only float64 view (None counts as zero
// rows; fewer than 3 columns are rejected before anything is made), makes
// the result with np.empty((N, 3), dtype=np.float64) and fills it with
// `row(in0, in1, in2, out)` in parallel, the interpreter lock released.
// `row` must be pure arithmetic (see parallel.hpp).
#pragma once

#include "module/function.hpp"
#include "module/parallel.hpp"
#include "module/view.hpp"

namespace gk {

template <class Row>
PyObject* map_rows3(Call& call, Row row) {
    ArrayView in;
    if (!ArrayView::acquire(call[0], kConstDouble2D, in)) return GK_FAIL(call);
    if (!in.require_columns(3, "arr")) return GK_FAIL(call);
    const Py_ssize_t n = in.extent(0);
    PyRef result;
    ArrayView out;
    if (!new_result("empty", {n, 3}, "float64", kFloat64T2D, result, out)) return GK_FAIL(call);
    const auto src = in.rows<const double>();
    const auto dst = out.rows<double>();
    parallel_rows(n, [src, dst, row](Py_ssize_t i) {
        double xyz[3];
        row(src(i, 0), src(i, 1), src(i, 2), xyz);
        dst(i, 0) = xyz[0];
        dst(i, 1) = xyz[1];
        dst(i, 2) = xyz[2];
    });
    return result.release();
}

}  // namespace gk
