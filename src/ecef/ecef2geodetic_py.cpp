// geokern ecef: the one-point ECEF-to-geodetic solver (ecef2geodetic_py.hpp).
#include "ecef/ecef2geodetic_py.hpp"

#include "ecef/ecef2geodetic.hpp"
#include "module/errors.hpp"
#include "module/globals.hpp"
#include "module/numpy_api.hpp"
#include "module/numpy_math.hpp"
#include "module/ref.hpp"
#include "module/scalar_body.hpp"

#include <numpy/arrayscalars.h>

namespace gk {

namespace {

// A new numpy float64 scalar.
PyObject* numpy_float64(double value) {
    PyObject* scalar = PyArrayScalar_New(Double);
    if (scalar) PyArrayScalar_ASSIGN(scalar, Double, value);
    return scalar;
}

}  // namespace

PyObject* ecef2geodetic_cython(const double x, const double y, const double z) {
    static constexpr TraceEntry kTrace{"geokern.ecef2geodetic_cython"};
    ecef::Solution sol;
    if (!ecef::solve<NumpyMath>(x, y, z, sol)) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division");
        return kTrace.fail();
    }
    double lon, lat;
    if (!module_degrees(sol.lambda, &lon) || !module_degrees(sol.phi, &lat)) return kTrace.fail();
    PyRef list(PyList_New(3));
    if (!list) return kTrace.fail();
    PyObject* items[3] = {PyFloat_FromDouble(lon), PyFloat_FromDouble(lat),
                          numpy_float64(sol.height)};
    for (int i = 0; i < 3; ++i) PyList_SET_ITEM(list.get(), i, items[i]);
    if (!items[0] || !items[1] || !items[2]) return kTrace.fail();
    return list.release();
}

PyObject* ecef2geodetic_cy(Call& call) { return scalar_body<ecef2geodetic_cython>(call); }

}  // namespace gk
