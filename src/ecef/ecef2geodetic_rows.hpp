// geokern ecef: the ECEF-to-geodetic batch row, a group of simd::kLanes
// rows at a time (simd.hpp), in the namespace of the vector width it is
// compiled for; ecef_rows.hpp publishes it.  The method, and how this row
// differs from the scalar solver, are described in ecef2geodetic.hpp.
#pragma once

#include "core/constants.hpp"
#include "core/simd.hpp"
#include "ecef/ecef2geodetic.hpp"

namespace gk::ecef::GK_SIMD_ISA {

// One group of simd::kLanes rows of the batch: longitude and latitude in
// degrees, and with `Heights` the height (out[2]).
template <bool Heights>
inline void ecef_to_geodetic_rows(simd::Vd x, simd::Vd y, simd::Vd z,
                                  simd::Vd (&out)[Heights ? 3 : 2]) {
    using simd::Mask;
    using simd::select;
    using simd::splat;
    using simd::Vd;
    const Vd p2 = simd::fma(x, x, y * y);
    const Vd z2 = z * z;
    const Vd t = (p2 + z2) - splat(kE2);
    const Vd u = simd::sqrt((simd::hypot(t, splat(kTwoE) * z) + t) * splat(0.5));
    const Vd q = simd::hypot(x, y);
    const Vd w = simd::hypot(u, splat(kE));

    // Off the polar axis from the confocal ellipsoid; on it (Q < 1e-12)
    // +-pi/2 by the sign of z, with z = -0 counting as north.
    Vd sin_beta, cos_beta;
    Vd beta = simd::atan((z / q) * (w / u));
    simd::sincos(beta, sin_beta, cos_beta);
    const Mask axis = q < splat(kAxisThreshold);
    const Mask north = z >= splat(0.0);
    beta = select(axis, select(north, splat(kHalfPi), splat(-kHalfPi)), beta);
    sin_beta = select(axis, select(north, splat(1.0), splat(-1.0)), sin_beta);
    cos_beta = select(axis, splat(kCosHalfPi), cos_beta);

    const Vd aw = splat(kWgs84A) * w;
    const Vd dbeta = (simd::fma(splat(kWgs84B), u, splat(kE2)) - aw) * sin_beta /
                     simd::fma(-cos_beta, splat(kE2), aw / cos_beta);
    const Vd beta1 = beta + dbeta;

    // Within one ulp of a pole the latitude is exactly +-90 and the foot
    // point's cosine 0.
    const Mask north_pole = beta1 >= splat(kPoleLimit);
    const Mask south_pole = beta1 <= splat(-kPoleLimit);
    const Vd lat = splat(kRadToDeg) * simd::atan(simd::tan(beta1) * splat(kAOverB));
    out[1] = select(north_pole, splat(90.0), select(south_pole, splat(-90.0), lat));
    out[0] = splat(kRadToDeg) * simd::atan2(y, x);
    if constexpr (Heights) {
        Vd sin_beta1, cos_beta1;
        simd::sincos(beta1, sin_beta1, cos_beta1);
        const Vd c = select(north_pole | south_pole, splat(0.0), cos_beta1);
        const Vd h =
            simd::hypot(simd::fma(splat(-kWgs84B), sin_beta1, z), simd::fma(splat(-kWgs84A), c, q));
        const Mask inside = simd::fma(p2, splat(kInvA2), z2 * splat(kInvB2)) < splat(1.0);
        out[2] = select(inside, -h, h);
    }
}

}  // namespace gk::ecef::GK_SIMD_ISA
