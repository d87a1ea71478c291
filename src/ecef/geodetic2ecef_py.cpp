// geokern ecef: module-level functions and native exports of the
// geodetic-to-ECEF conversions (see geodetic2ecef_py.hpp).
#include "ecef/geodetic2ecef_py.hpp"

#include "ecef/geodetic2ecef.hpp"
#include "module/parallel.hpp"
#include "module/view.hpp"

namespace gk {

PyObject* geodetic2ecef_fast_array(Call& call) {
    ArrayView in;
    if (!ArrayView::acquire(call[0], kConstDouble2D, in)) return GK_FAIL(call);
    if (!in.require_columns(3, "arr")) return GK_FAIL(call);
    const Py_ssize_t n = in.extent(0);
    PyRef result;
    ArrayView out;
    if (!new_result("empty", {n, 3}, "float64", kFloat64T2D, result, out)) return GK_FAIL(call);
    const auto src = in.rows<const double>();
    const auto dst = out.rows<double>();
    parallel_rows(n, [src, dst](Py_ssize_t i) {
        double xyz[3];
        ecef::geodetic_to_ecef_row(src(i, 0), src(i, 1), src(i, 2), xyz);
        dst(i, 0) = xyz[0];
        dst(i, 1) = xyz[1];
        dst(i, 2) = xyz[2];
    });
    return result.release();
}

PyObject* geodetic2ecef_custom_ellipsoid_cython(const double, const double, const double) {
    Py_RETURN_NONE;
}

}  // namespace gk
