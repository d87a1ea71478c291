// geokern ecef: earth-centred earth-fixed to geodetic coordinates.
//
// Closed form, no iteration.  For a point (x, y, z) take the ellipsoid
// confocal with WGS-84 (linear eccentricity E) through the point: its
// semi-minor axis u solves u^2 = ((r^2 - E^2) + hypot(r^2 - E^2, 2 E z)) / 2
// and its semi-major axis is W = hypot(u, E).  The point's reduced latitude
// on it, beta = atan(W z / (u Q)) with Q = hypot(x, y), is corrected once to
// first order towards the foot point on WGS-84:
//   dbeta = ((b u + E^2) - a W) sin beta / (a W / cos beta - E^2 cos beta)
// and the geodetic latitude is atan(tan(beta + dbeta) a / b).  The height is
// the distance to the foot point (a cos beta', b sin beta'), negative inside
// the ellipsoid.
//
// Method: R.-J. You, "Transformation of Cartesian to geodetic coordinates
// without iterations", Journal of Surveying Engineering 126(1), 1-7, 2000;
// the closed form with its single first-order correction of the reduced
// latitude, no further iteration.  Accuracy as the tests measure it
// (tests/ecef, round trips through geodetic-to-ECEF on global grids): from
// 1 km below to 300 km above the ellipsoid within 1e-9 degrees and 1e-6 m;
// the latitude error grows with height, within 1e-7 degrees up to 1000 km
// (about 7e-8 there).
//
// Two variants with observable differences are kept apart on purpose:
//   - the scalar solver (solve) falls back to beta = 0 (|z| <= 1e-8) or
//     +-pi/2 when u or Q is zero or NaN, and fails on a zero or NaN
//     correction divisor;
//   - the batch row (ecef_to_geodetic_rows, ecef2geodetic_rows.hpp) treats Q < 1e-12 as the polar
//     axis (beta = +-pi/2 even at z = 0, so the centre maps to latitude 90)
//     and has no fallback for u = 0: points in the equatorial plane within
//     E of the centre give NaN.
#pragma once

#include "core/constants.hpp"

#include <cmath>

namespace gk::ecef {

inline constexpr double kE = kWgs84LinearEccentricity;
inline constexpr double kE2 = kE * kE;
inline constexpr double kTwoE = kE + kE;
inline constexpr double kAOverB = kWgs84A / kWgs84B;                 // 1.0033640898209764
inline constexpr double kInvA2 = 1.0 / (kWgs84A * kWgs84A);          // 2.458172257647332e-14
inline constexpr double kInvB2 = 1.0 / (kWgs84B * kWgs84B);          // 2.4747391015697e-14
inline constexpr double kPoleLimit = kHalfPi - 2.220446049250313e-16;  // 1.5707963267948963
inline constexpr double kAxisThreshold = 1e-12;
inline constexpr double kCosHalfPi = 6.123233995736766e-17;

// True when p^2 / a^2 + z^2 / b^2 < 1 (strictly), in one rounding.
inline bool inside_ellipsoid(double p2, double z2) noexcept {
    return std::fma(p2, kInvA2, z2 * kInvB2) < 1.0;
}

// The scalar solver's result, in radians and metres.
struct Solution {
    double lambda;
    double phi;
    double height;
};

// A divisor guard: zero and NaN both count as zero.
inline bool unusable_divisor(double d) noexcept { return d == 0.0 || std::isnan(d); }

// The scalar solver.  `Math` supplies arctan(x), cos(x) and hypot(x, y) for
// the reduced latitude's arctangent, the foot point's cosine and the
// height; everything else is the C library's.  False when a divisor of the
// first-order correction is zero or NaN (the caller raises).
template <class Math>
bool solve(double x, double y, double z, Solution& out) noexcept {
    const double p2 = std::fma(x, x, y * y);
    const double z2 = z * z;
    const double t = std::fma(-kE, kE, p2) + z2;
    const double u2 = (t + std::hypot(t, kTwoE * z)) * 0.5;
    const double u = std::sqrt(u2);
    const double q = std::hypot(x, y);
    const double w = std::hypot(u, kE);

    // The reduced latitude on the confocal ellipsoid, or the fallback when
    // u or Q is zero or NaN: 0 for |z| <= 1e-8 (numpy's isclose(z, 0) with
    // its default tolerances), else +-pi/2 by the sign of z.
    double beta;
    if (unusable_divisor(u) || unusable_divisor(q)) {
        beta = std::fabs(z) <= 1e-08 ? 0.0 : (z > 0.0 ? kHalfPi : -kHalfPi);
    } else {
        beta = Math::arctan(((w / u) * z) / q);
    }

    const double s = std::sin(beta);
    const double c0 = std::cos(beta);
    if (unusable_divisor(c0)) return false;
    const double aw = kWgs84A * w;
    const double d = std::fma(-c0, kE2, aw / c0);
    if (unusable_divisor(d)) return false;
    const double beta1 = beta + (std::fma(kWgs84B, u, kE2) - aw) * s / d;

    double phi = std::atan(std::tan(beta1) * kAOverB);
    double c = Math::cos(beta1);
    if (beta1 >= kPoleLimit) phi = kHalfPi, c = 0.0;
    if (beta1 <= -kPoleLimit) phi = -kHalfPi, c = 0.0;
    const double h = Math::hypot(std::fma(-kWgs84B, std::sin(beta1), z), q - kWgs84A * c);
    out.lambda = std::atan2(y, x);
    out.phi = phi;
    out.height = inside_ellipsoid(p2, z2) ? -h : h;
    return true;
}

}  // namespace gk::ecef
