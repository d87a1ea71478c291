// geokern mesh: area-weighted smooth vertex normals (see smooth_normals.hpp).
#include "mesh/smooth_normals.hpp"

namespace gk::mesh {

namespace {

void add_to_row(const StridedRows<float>& rows, std::ptrdiff_t i, const Vec3f& v) noexcept {
    rows(i, 0) += v.x;
    rows(i, 1) += v.y;
    rows(i, 2) += v.z;
}

}  // namespace

void accumulate_face_normals(StridedRows<const float> pos, StridedItems<const uint32_t> indices,
                             std::ptrdiff_t num_tris, StridedRows<float> normals) noexcept {
    for (std::ptrdiff_t t = 0; t < num_tris; ++t) {
        const std::ptrdiff_t i0 = indices[3 * t];
        const std::ptrdiff_t i1 = indices[3 * t + 1];
        const std::ptrdiff_t i2 = indices[3 * t + 2];
        const Vec3f f = face_cross(load(pos, i0), load(pos, i1), load(pos, i2));
        add_to_row(normals, i0, f);
        add_to_row(normals, i1, f);
        add_to_row(normals, i2, f);
    }
}

}  // namespace gk::mesh
