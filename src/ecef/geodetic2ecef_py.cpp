// geokern ecef: module-level functions and native exports of the
// geodetic-to-ECEF conversions (see geodetic2ecef_py.hpp).
#include "ecef/geodetic2ecef_py.hpp"

#include "ecef/ecef_rows.hpp"
#include "ecef/geodetic2ecef.hpp"
#include "module/errors.hpp"
#include "module/globals.hpp"
#include "module/interrupt.hpp"
#include "module/result_array.hpp"
#include "module/row_batch.hpp"
#include "module/scalar_body.hpp"
#include "module/slice_body.hpp"
#include "module/values.hpp"
#include "module/vector_path.hpp"

namespace gk {

namespace {

// The scalar conversion into `xyz`; false with the exception set.
bool convert_scalar(double lon, double lat, double h, double* xyz) {
    double lambda, phi;
    if (!module_radians(lon, &lambda) || !module_radians(lat, &phi)) return false;
    if (!ecef::geodetic_to_ecef_scalar(lambda, phi, h, xyz)) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division");
        return false;
    }
    return true;
}

constexpr TraceEntry kScalarTrace{"geokern.geodetic2ecef_cython"};
constexpr TraceEntry kRowsTrace{"geokern.geodetic2ecef_cython_np_mv"};

}  // namespace

PyObject* geodetic2ecef_cython(const double lon, const double lat, const double h) {
    double xyz[3];
    if (!convert_scalar(lon, lat, h, xyz)) return kScalarTrace.fail();
    return kScalarTrace(float_list({xyz[0], xyz[1], xyz[2]}));
}

PyObject* geodetic2ecef_cython_np_mv(ArrayViewSlice arr) {
    if (!require_columns(arr, 3, "arr")) return kRowsTrace.fail();
    const Py_ssize_t n = arr.shape[0];
    PyRef result;
    ArrayView out;
    if (!new_result("zeros", {n, 3}, "double", kDouble2D, result, out)) return kRowsTrace.fail();
    const auto src = rows_of<const double>(arr);
    const auto dst = out.rows<double>();
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Ctrl-C: the rows call Python, but maybe no Python code.
        if (i % kRowsPerSignalCheckLocked == 0 && i > 0 && PyErr_CheckSignals() < 0) {
            return kRowsTrace.fail();
        }
        double xyz[3];
        if (!convert_scalar(src(i, 0), src(i, 1), src(i, 2), xyz)) {
            kScalarTrace.add();
            return kRowsTrace.fail();
        }
        dst(i, 0) = xyz[0];
        dst(i, 1) = xyz[1];
        dst(i, 2) = xyz[2];
    }
    return result.release();
}

PyObject* geodetic2ecef_cy(Call& call) { return scalar_body<geodetic2ecef_cython>(call); }

PyObject* geodetic2ecef_cy_np(Call& call) {
    return slice_body<kConstDouble2D, geodetic2ecef_cython_np_mv>(call);
}

PyObject* geodetic2ecef_np_cy(Call& call) { return geodetic2ecef_cy_np(call); }

PyObject* geodetic2ecef_fast_array(Call& call) {
    const auto& kernels = chosen_table(ecef::avx2::kRowKernels, ecef::avx512::kRowKernels);
    return map_rows3(call, kernels.geodetic_to_ecef);
}

PyObject* geodetic2ecef_custom_ellipsoid_cython(const double, const double, const double) {
    Py_RETURN_NONE;
}

}  // namespace gk
