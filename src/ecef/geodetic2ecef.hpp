// geokern ecef: geodetic to earth-centred earth-fixed coordinates.
//
// WGS-84 with the module-level constants (constants.hpp).  The textbook
// closed form (e.g. NIMA TR8350.2, 3rd edition, 2000), exact up to the
// rounding of its few operations.  For latitude phi
// the prime-vertical radius is N = a^2 / sqrt(a^2 cos^2 phi + b^2 sin^2 phi)
// (the root taken with hypot, so the squares cannot overflow), and
//   X = (N + h) cos phi cos lambda
//   Y = (N + h) cos phi sin lambda
//   Z = ((b^2/a^2) N + h) sin phi      (the bracket in one rounding)
// Angles are used as they come; cos 90 deg and sin 180 deg are not exactly
// zero, so their residues (~1e-10 m) show in the results.
#pragma once

#include "core/constants.hpp"

#include <cmath>

namespace gk::ecef {

// Scalar-path conversion: lambda, phi already in radians, separate sine and
// cosine evaluations.  False when the root D is zero or NaN (a NaN or
// infinite latitude): the caller raises ZeroDivisionError.
inline bool geodetic_to_ecef_scalar(double lambda, double phi, double h, double* xyz) noexcept {
    const double sin_lambda = std::sin(lambda);
    const double cos_lambda = std::cos(lambda);
    const double sin_phi = std::sin(phi);
    const double cos_phi = std::cos(phi);
    const double d = std::hypot(kWgs84A * cos_phi, kWgs84B * sin_phi);
    if (d == 0.0 || std::isnan(d)) return false;
    const double n = kWgs84A2 / d;
    const double t = (n + h) * cos_phi;
    xyz[0] = t * cos_lambda;
    xyz[1] = t * sin_lambda;
    xyz[2] = std::fma(n, kWgs84B2OverA2, h) * sin_phi;
    return true;
}

}  // namespace gk::ecef
