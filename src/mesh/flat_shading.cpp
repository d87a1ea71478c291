// geokern mesh: flat-shaded expansion (see flat_shading.hpp).
#include "mesh/flat_shading.hpp"

#include "mesh/vec3.hpp"

namespace gk::mesh {

void expand_flat_shaded(StridedRows<const float> pos, StridedItems<const uint32_t> indices,
                        std::ptrdiff_t num_tris, const FlatMesh& out) noexcept {
    for (std::ptrdiff_t t = 0; t < num_tris; ++t) {
        const std::ptrdiff_t row = 3 * t;
        Vec3f p[3];
        for (int k = 0; k < 3; ++k) {
            const uint32_t source = indices[row + k];
            out.sources[row + k] = source;
            out.indices[row + k] = static_cast<uint32_t>(row + k);
            p[k] = load(pos, source);
            store(out.positions, row + k, p[k]);
        }
        const Vec3f n = unit_or_up(face_cross(p[0], p[1], p[2]));
        for (int k = 0; k < 3; ++k) store(out.normals, row + k, n);
    }
}

}  // namespace gk::mesh
