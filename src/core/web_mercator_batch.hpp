// geokern core: row kernels of the Web Mercator batch conversions.
//
// Spherical Web Mercator on the WGS-84 semi-major axis a:
//   x = a * lambda,  y = a * ln(tan(phi / 2 + pi / 4))
//   phi = 2 * atan(exp(y / a)) - pi / 2
// No latitude or y is clamped and no row is checked for finiteness:
// latitude -90 gives a non-finite y, latitude 90 a huge finite one.  The
// factors are arranged as below on purpose (a * pi/180 is formed first), so
// the results may differ from the scalar core functions in the last bit.
#pragma once

#include "core/constants.hpp"

#include <cmath>

namespace gk::web_mercator {

inline constexpr double kQuarterPi = 0.7853981633974483;
inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kRadToDeg = 57.29577951308232;
inline constexpr double kXFactor = kWgs84A * kDegToRad;
inline constexpr double kInverseRadius = 1.0 / kWgs84A;
inline constexpr double kLonFactor = kInverseRadius * kRadToDeg;

// Geodetic latitude (radians) of a Web Mercator y: the multiply-and-subtract
// in one rounding.
inline double latitude_of(double y) noexcept {
    return std::fma(std::atan(std::exp(kInverseRadius * y)), 2.0, -kHalfPi);
}

// (lon deg, lat deg, h) -> (x, y, h)
inline void from_geodetic(double lon, double lat, double h, double* out) noexcept {
    const double phi = kDegToRad * lat;
    out[0] = kXFactor * lon;
    out[1] = std::log(std::tan(std::fma(phi, 0.5, kQuarterPi))) * kWgs84A;
    out[2] = h;
}

// (x, y, h) -> (lon deg, lat deg, h)
inline void to_geodetic(double x, double y, double h, double* out) noexcept {
    out[0] = kLonFactor * x;
    out[1] = latitude_of(y) * kRadToDeg;
    out[2] = h;
}

// (x, y, ellipsoidal h) -> ECEF (X, Y, Z), in radians throughout.
inline void to_ecef(double x, double y, double h, double* out) noexcept {
    double sin_lambda, cos_lambda, sin_phi, cos_phi;
    ::sincos(kInverseRadius * x, &sin_lambda, &cos_lambda);
    ::sincos(latitude_of(y), &sin_phi, &cos_phi);
    const double n = kWgs84A2 / std::hypot(cos_phi * kWgs84A, sin_phi * kWgs84B);
    const double t = (h + n) * cos_phi;
    out[0] = t * cos_lambda;
    out[1] = t * sin_lambda;
    out[2] = std::fma(kWgs84B2OverA2, n, h) * sin_phi;
}

}  // namespace gk::web_mercator
