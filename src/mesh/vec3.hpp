// geokern mesh: single-precision vector arithmetic of the mesh kernels.
//
// Every operation rounds once per product, sum or quotient, in float32 and
// in the order written: the build keeps contraction off, so no product is
// fused into a neighbouring sum behind our back.  The results are
// therefore the same bits as the equivalent whole-array float32 arithmetic.
#pragma once

#include "core/strided.hpp"

#include <cmath>
#include <cstddef>

namespace gk::mesh {

struct Vec3f {
    float x, y, z;
};

// Row i of an (n, >= 3) float32 array, columns 0, 1, 2.
template <class Float>
Vec3f load(const StridedRows<Float>& rows, std::ptrdiff_t i) noexcept {
    return {rows(i, 0), rows(i, 1), rows(i, 2)};
}

inline void store(const StridedRows<float>& rows, std::ptrdiff_t i, const Vec3f& v) noexcept {
    rows(i, 0) = v.x;
    rows(i, 1) = v.y;
    rows(i, 2) = v.z;
}

// (p1 - p0) x (p2 - p0): twice the triangle's area, pointing by the
// right-hand rule over the corner order.  Each component is one difference
// of two rounded products.
inline Vec3f face_cross(const Vec3f& p0, const Vec3f& p1, const Vec3f& p2) noexcept {
    const Vec3f e1{p1.x - p0.x, p1.y - p0.y, p1.z - p0.z};
    const Vec3f e2{p2.x - p0.x, p2.y - p0.y, p2.z - p0.z};
    return {e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
}

// sqrt((x*x + y*y) + z*z).
inline float length(const Vec3f& v) noexcept {
    return std::sqrt((v.x * v.x + v.y * v.y) + v.z * v.z);
}

// v scaled by 1/|v| when |v|, widened to double, exceeds 1e-6; (0, 0, 1)
// otherwise, also when |v| is not a number.
inline Vec3f unit_or_up(const Vec3f& v) noexcept {
    const float l = length(v);
    if (static_cast<double>(l) > 1e-6) {
        const float s = 1.0f / l;
        return {v.x * s, v.y * s, v.z * s};
    }
    return {0.0f, 0.0f, 1.0f};
}

}  // namespace gk::mesh
