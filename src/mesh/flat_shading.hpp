// geokern mesh: flat-shaded expansion, one vertex per triangle corner.
#pragma once

#include "core/strided.hpp"
#include "mesh/index_range.hpp"

#include <cstddef>
#include <cstdint>

namespace gk::mesh {

// The arrays of an expanded mesh of n = 3 * num_tris vertices that the
// expansion fills (its index buffer 0, 1, ..., n - 1 is made whole).
struct FlatMesh {
    StridedRows<float> positions;    // (n, 3)
    StridedRows<float> normals;      // (n, 3)
    StridedItems<uint32_t> sources;  // (n,): the source vertex of each corner
};

// Expands triangles t = first .. end - 1 in one serial pass: rows 3t + k of
// `out.positions` are the rows of `pos` at the triangle's corners k = 0, 1,
// 2, and all three rows of `out.normals` carry the triangle's unit normal
// ((0, 0, 1) for a degenerate triangle).  `corners.limit` must not exceed
// the rows of `pos`.  Stops at the first triangle with a corner at or above
// it (kept in `corners.bad`), leaving that triangle's rows unwritten;
// returns whether all triangles were expanded.
bool expand_flat_shaded(StridedRows<const float> pos, CheckedCorners& corners, std::ptrdiff_t first,
                        std::ptrdiff_t end, const FlatMesh& out) noexcept;

}  // namespace gk::mesh
