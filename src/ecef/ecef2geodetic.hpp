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
// Two variants with observable differences are kept apart on purpose:
//   - the scalar solver falls back to beta = 0 (|z| <= 1e-8) or +-pi/2 when
//     u or Q is zero or NaN, and raises on a zero or NaN correction divisor;
//   - the batch row treats Q < 1e-12 as the polar axis (beta = +-pi/2 even
//     at z = 0, so the centre maps to latitude 90) and has no fallback for
//     u = 0: points in the equatorial plane within E of the centre give NaN.
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
inline constexpr double kHalfPi = 1.5707963267948966;
inline constexpr double kPoleLimit = kHalfPi - 2.220446049250313e-16;  // 1.5707963267948963
inline constexpr double kRadToDeg = 57.29577951308232;
inline constexpr double kAxisThreshold = 1e-12;
inline constexpr double kCosHalfPi = 6.123233995736766e-17;

// True when p^2 / a^2 + z^2 / b^2 < 1 (strictly), in one rounding.
inline bool inside_ellipsoid(double p2, double z2) noexcept {
    return std::fma(p2, kInvA2, z2 * kInvB2) < 1.0;
}

// One row of the batch: longitude and latitude in degrees, and with
// `Heights` the height (out[2]).
template <bool Heights>
inline void ecef_to_geodetic_row(double x, double y, double z, double* out) noexcept {
    const double p2 = std::fma(x, x, y * y);
    const double z2 = z * z;
    const double t = (p2 + z2) - kE2;
    const double u = std::sqrt((std::hypot(t, kTwoE * z) + t) * 0.5);
    const double q = std::hypot(x, y);
    const double w = std::hypot(u, kE);
    double beta, sin_beta, cos_beta;
    if (q < kAxisThreshold) {
        const bool north = z >= 0.0;
        beta = north ? kHalfPi : -kHalfPi;
        sin_beta = north ? 1.0 : -1.0;
        cos_beta = kCosHalfPi;
    } else {
        beta = std::atan((z / q) * (w / u));
        ::sincos(beta, &sin_beta, &cos_beta);
    }
    const double aw = kWgs84A * w;
    const double dbeta = (std::fma(kWgs84B, u, kE2) - aw) * sin_beta /
                         std::fma(-cos_beta, kE2, aw / cos_beta);
    const double beta1 = beta + dbeta;
    double c;
    if (beta1 >= kPoleLimit) {
        out[1] = 90.0;
        c = 0.0;
    } else if (beta1 <= -kPoleLimit) {
        out[1] = -90.0;
        c = 0.0;
    } else {
        out[1] = kRadToDeg * std::atan(std::tan(beta1) * kAOverB);
        c = std::cos(beta1);
    }
    out[0] = kRadToDeg * std::atan2(y, x);
    if constexpr (Heights) {
        const double h = std::hypot(std::fma(-kWgs84B, std::sin(beta1), z), std::fma(-kWgs84A, c, q));
        out[2] = inside_ellipsoid(p2, z2) ? -h : h;
    }
}

}  // namespace gk::ecef
