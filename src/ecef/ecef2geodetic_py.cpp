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

#include <cmath>

namespace gk {

namespace {

struct Solution {
    double lambda;  // radians
    double phi;     // radians
    double height;  // metres
};

// A divisor guard: zero and NaN both count as zero.
bool unusable_divisor(double d) { return d == 0.0 || std::isnan(d); }

// The reduced latitude of the point on its confocal ellipsoid, or the
// fallback when a divisor is zero or NaN: 0 for |z| <= 1e-8 (numpy's
// isclose(z, 0) with its default tolerances), else +-pi/2 by the sign of z.
double reduced_latitude(double u, double w, double q, double z) {
    if (unusable_divisor(u) || unusable_divisor(q)) {
        if (std::fabs(z) <= 1e-08) return 0.0;
        return z > 0.0 ? ecef::kHalfPi : -ecef::kHalfPi;
    }
    return numpy_arctan(((w / u) * z) / q);
}

// False when a divisor of the first-order correction is zero or NaN (the
// caller raises ZeroDivisionError "float division").
bool solve(double x, double y, double z, Solution& out) {
    using namespace ecef;
    const double p2 = std::fma(x, x, y * y);
    const double z2 = z * z;
    const double t = std::fma(-kE, kE, p2) + z2;
    const double u2 = (t + std::hypot(t, kTwoE * z)) * 0.5;
    const double u = std::sqrt(u2);
    const double q = std::hypot(x, y);
    const double w = std::hypot(u, kE);
    const double beta = reduced_latitude(u, w, q, z);

    const double s = std::sin(beta);
    const double c0 = std::cos(beta);
    if (unusable_divisor(c0)) return false;
    const double aw = kWgs84A * w;
    const double d = std::fma(-c0, kE2, aw / c0);
    if (unusable_divisor(d)) return false;
    const double beta1 = beta + (std::fma(kWgs84B, u, kE2) - aw) * s / d;

    double phi = std::atan(std::tan(beta1) * kAOverB);
    double c = numpy_cos(beta1);
    if (beta1 >= kPoleLimit) phi = kHalfPi, c = 0.0;
    if (beta1 <= -kPoleLimit) phi = -kHalfPi, c = 0.0;
    const double h = numpy_hypot(std::fma(-kWgs84B, std::sin(beta1), z), q - kWgs84A * c);
    out.lambda = std::atan2(y, x);
    out.phi = phi;
    out.height = inside_ellipsoid(p2, z2) ? -h : h;
    return true;
}

// A new numpy float64 scalar.
PyObject* numpy_float64(double value) {
    PyObject* scalar = PyArrayScalar_New(Double);
    if (scalar) PyArrayScalar_ASSIGN(scalar, Double, value);
    return scalar;
}

}  // namespace

PyObject* ecef2geodetic_cython(const double x, const double y, const double z) {
    static constexpr TraceEntry kTrace{"geokern.ecef2geodetic_cython"};
    Solution sol;
    if (!solve(x, y, z, sol)) {
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
