// geokern core: row kernels of the Web Mercator batch conversions, a group
// of simd::kLanes rows at a time (simd.hpp), in the namespace of the vector
// width they are compiled for; web_mercator_rows.hpp publishes them.
//
// Spherical Web Mercator on the WGS-84 semi-major axis a:
//   x = a * lambda,  y = a * ln(tan(phi / 2 + pi / 4))
//   phi = 2 * atan(exp(y / a)) - pi / 2
// No latitude or y is clamped and no row is checked for finiteness:
// latitude -90 gives a non-finite y, latitude 90 a huge finite one.  The
// factors are arranged as below on purpose (a * pi/180 is formed first), so
// the results may differ from the scalar core functions in the last bits.
#pragma once

#include "core/constants.hpp"
#include "core/simd.hpp"

namespace gk::web_mercator::GK_SIMD_ISA {

using simd::splat;
using simd::Vd;

inline constexpr double kXFactor = kWgs84A * kDegToRad;
inline constexpr double kInverseRadius = 1.0 / kWgs84A;
inline constexpr double kLonFactor = kInverseRadius * kRadToDeg;

// Geodetic latitude (radians) of a Web Mercator y: the multiply-and-subtract
// in one rounding.
inline Vd latitude_of(Vd y) {
    return simd::fma(simd::atan(simd::exp(splat(kInverseRadius) * y)), splat(2.0), splat(-kHalfPi));
}

// (lon deg, lat deg, h) -> (x, y, h)
inline void from_geodetic(Vd lon, Vd lat, Vd h, Vd (&out)[3]) {
    const Vd phi = splat(kDegToRad) * lat;
    out[0] = splat(kXFactor) * lon;
    out[1] = simd::log(simd::tan(simd::fma(phi, splat(0.5), splat(kQuarterPi)))) * splat(kWgs84A);
    out[2] = h;
}

// (x, y, h) -> (lon deg, lat deg, h)
inline void to_geodetic(Vd x, Vd y, Vd h, Vd (&out)[3]) {
    out[0] = splat(kLonFactor) * x;
    out[1] = latitude_of(y) * splat(kRadToDeg);
    out[2] = h;
}

// (x, y, ellipsoidal h) -> ECEF (X, Y, Z), in radians throughout.
inline void to_ecef(Vd x, Vd y, Vd h, Vd (&out)[3]) {
    Vd sin_lambda, cos_lambda, sin_phi, cos_phi;
    simd::sincos(splat(kInverseRadius) * x, sin_lambda, cos_lambda);
    simd::sincos(latitude_of(y), sin_phi, cos_phi);
    const Vd n = splat(kWgs84A2) / simd::hypot(cos_phi * splat(kWgs84A), sin_phi * splat(kWgs84B));
    const Vd t = (h + n) * cos_phi;
    out[0] = t * cos_lambda;
    out[1] = t * sin_lambda;
    out[2] = simd::fma(splat(kWgs84B2OverA2), n, h) * sin_phi;
}

}  // namespace gk::web_mercator::GK_SIMD_ISA
