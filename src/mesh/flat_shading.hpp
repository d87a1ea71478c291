// geokern mesh: flat-shaded expansion, one vertex per triangle corner.
#pragma once

#include "module/strided.hpp"

#include <cstddef>
#include <cstdint>

namespace gk::mesh {

// The four arrays of an expanded mesh of n = 3 * num_tris vertices.
struct FlatMesh {
    StridedRows<float> positions;    // (n, 3)
    StridedRows<float> normals;      // (n, 3)
    StridedItems<uint32_t> indices;  // (n,): 0, 1, ..., n - 1
    StridedItems<uint32_t> sources;  // (n,): the source vertex of each corner
};

// Expands triangles t = 0 .. num_tris - 1 of `indices` in one serial pass:
// rows 3t + k of `out.positions` are the rows of `pos` at the triangle's
// corners k = 0, 1, 2, and all three rows of `out.normals` carry the
// triangle's unit normal ((0, 0, 1) for a degenerate triangle).  Every
// index must be a row of `pos`.
void expand_flat_shaded(StridedRows<const float> pos, StridedItems<const uint32_t> indices,
                        std::ptrdiff_t num_tris, const FlatMesh& out) noexcept;

}  // namespace gk::mesh
