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

bool accumulate_face_normals(StridedRows<const float> pos, CheckedCorners& corners,
                             std::ptrdiff_t first, std::ptrdiff_t end,
                             StridedRows<float> normals) noexcept {
    for (std::ptrdiff_t t = first; t < end; ++t) {
        uint32_t i[3];
        if (!corners.read(t, i)) return false;
        const Vec3f f = face_cross(load(pos, i[0]), load(pos, i[1]), load(pos, i[2]));
        add_to_row(normals, i[0], f);
        add_to_row(normals, i[1], f);
        add_to_row(normals, i[2], f);
    }
    return true;
}

}  // namespace gk::mesh
