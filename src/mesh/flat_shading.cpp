// geokern mesh: flat-shaded expansion (see flat_shading.hpp).
#include "mesh/flat_shading.hpp"

#include "mesh/vec3.hpp"

namespace gk::mesh {

bool expand_flat_shaded(StridedRows<const float> pos, CheckedCorners& corners, std::ptrdiff_t first,
                        std::ptrdiff_t end, const FlatMesh& out) noexcept {
    for (std::ptrdiff_t t = first; t < end; ++t) {
        const std::ptrdiff_t row = 3 * t;
        uint32_t source[3];
        if (!corners.read(t, source)) return false;
        Vec3f p[3];
        for (int k = 0; k < 3; ++k) {
            out.sources[row + k] = source[k];
            p[k] = load(pos, source[k]);
            store(out.positions, row + k, p[k]);
        }
        const Vec3f n = unit_or_up(face_cross(p[0], p[1], p[2]));
        for (int k = 0; k < 3; ++k) store(out.normals, row + k, n);
    }
    return true;
}

}  // namespace gk::mesh
