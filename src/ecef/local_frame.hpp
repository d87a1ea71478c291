// geokern ecef: points moved between a local frame and ECEF.
//
// A frame is a rotation R (3 x 3, row-major) and two points: a point p
// goes to R (p - from) + to.  With from = 0 and to the frame's origin in
// ECEF it takes the frame's (x, y, z) metres to ECEF; with R transposed,
// from = the origin and to = 0 it takes ECEF back to the frame.
// Subtracting before rotating keeps ECEF coordinates of 6.4e6 m from
// cancelling against each other: the error is a few ulp of the larger of
// |p| and |from|, about 1e-9 m on the earth.  Each sum of products is
// formed with fused multiply-adds.
#pragma once

#include <cmath>

namespace gk::ecef {

struct LocalFrame {
    double rotation[9];
    double from[3];
    double to[3];
};

// out[0..2] = R (p - from) + to; `out` may be `p`.
inline void move_point(const LocalFrame& f, const double p[3], double out[3]) noexcept {
    const double x = p[0] - f.from[0];
    const double y = p[1] - f.from[1];
    const double z = p[2] - f.from[2];
    const double* r = f.rotation;
    const double a = std::fma(r[0], x, std::fma(r[1], y, r[2] * z)) + f.to[0];
    const double b = std::fma(r[3], x, std::fma(r[4], y, r[5] * z)) + f.to[1];
    const double c = std::fma(r[6], x, std::fma(r[7], y, r[8] * z)) + f.to[2];
    out[0] = a;
    out[1] = b;
    out[2] = c;
}

}  // namespace gk::ecef
