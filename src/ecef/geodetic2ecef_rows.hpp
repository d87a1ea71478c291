// geokern ecef: the geodetic-to-ECEF batch row, a group of simd::kLanes
// rows at a time (simd.hpp), in the namespace of the vector width it is
// compiled for; ecef_rows.hpp publishes it.  The formula is described in
// geodetic2ecef.hpp.
#pragma once

#include "core/constants.hpp"
#include "core/simd.hpp"

namespace gk::ecef::GK_SIMD_ISA {

// Batch-path conversion of a group of simd::kLanes rows: lon, lat in
// degrees, h in metres, to x, y, z in metres; one combined sine-cosine
// evaluation per angle.  A non-finite latitude yields NaN coordinates (no
// error).
inline void geodetic_to_ecef_rows(simd::Vd lon, simd::Vd lat, simd::Vd h, simd::Vd (&xyz)[3]) {
    using simd::splat;
    using simd::Vd;
    Vd sin_lambda, cos_lambda, sin_phi, cos_phi;
    simd::sincos(lon * splat(kDegToRad), sin_lambda, cos_lambda);
    simd::sincos(lat * splat(kDegToRad), sin_phi, cos_phi);
    const Vd n = splat(kWgs84A2) / simd::hypot(cos_phi * splat(kWgs84A), sin_phi * splat(kWgs84B));
    const Vd t = (h + n) * cos_phi;
    xyz[0] = t * cos_lambda;
    xyz[1] = t * sin_lambda;
    xyz[2] = sin_phi * simd::fma(splat(kWgs84B2OverA2), n, h);
}

}  // namespace gk::ecef::GK_SIMD_ISA
