// geokern module layer: the frame of the batch functions over (N, 3) rows
// (see row_batch.hpp).
#include "module/row_batch.hpp"

#include "module/parallel.hpp"
#include "module/result_array.hpp"

namespace gk {

namespace {

// Rows below which a batch runs on the calling thread: up to here one
// thread is at least as fast as the team for every row kernel (the ECEF to
// geodetic rows, the dearest, break even at about 1000).
constexpr Py_ssize_t kSerialRows = 1024;

}  // namespace

bool convert_rows(Py_ssize_t n, RowKernel kernel, StridedRows<const double> src,
                  StridedRows<double> dst) {
    return parallel_chunks<kRowGroup>(
        n, kSerialRows,
        [kernel, src, dst](Py_ssize_t begin, Py_ssize_t end) { kernel(src, dst, begin, end); });
}

PyObject* map_rows3(Call& call, RowKernel kernel) {
    ArrayView in;
    if (!ArrayView::acquire(call[0], kConstDouble2D, in)) return call.fail();
    if (!in.require_columns(3, "arr")) return call.fail();
    const Py_ssize_t n = in.extent(0);
    PyRef result;
    ArrayView out;
    if (!new_result("empty", {n, 3}, "float64", kFloat64T2D, result, out)) return call.fail();
    if (!convert_rows(n, kernel, in.rows<const double>(), out.rows<double>())) return call.fail();
    return result.release();
}

}  // namespace gk
