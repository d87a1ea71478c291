// geokern mesh: area-weighted smooth vertex normals.
//
// A vertex's normal is the sum of the unnormalised face normals of the
// triangles that use it (so each triangle weighs by its area), scaled to
// unit length; a vertex whose sum is (nearly) zero gets (0, 0, 1).
#pragma once

#include "core/strided.hpp"
#include "mesh/index_range.hpp"
#include "mesh/vec3.hpp"

#include <cstddef>
#include <cstdint>

namespace gk::mesh {

// Adds the face normal (p1 - p0) x (p2 - p0) of each of the triangles
// first .. end - 1 (corners indices[3t], indices[3t + 1], indices[3t + 2])
// to rows i0, then i1, then i2 of `normals`, triangles in index order (a
// corner listed twice receives it twice).  `corners.limit` must not exceed
// the rows of `pos` or of `normals`.  Stops at the first triangle with a
// corner at or above it, leaving that corner in `corners.bad` and the
// triangle unused; returns whether all triangles were added.
bool accumulate_face_normals(StridedRows<const float> pos, CheckedCorners& corners,
                             std::ptrdiff_t first, std::ptrdiff_t end,
                             StridedRows<float> normals) noexcept;

// Row i of `normals` scaled to unit length: x * (1/L), y * (1/L), z * (1/L)
// with L its float32 length, or (0, 0, 1) when L (as a double) is not above
// 1e-6.
inline void normalize_row(const StridedRows<float>& normals, std::ptrdiff_t i) noexcept {
    store(normals, i, unit_or_up(load(normals, i)));
}

}  // namespace gk::mesh
