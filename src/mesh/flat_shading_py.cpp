// geokern mesh: expand_flat_shaded_mesh_cy (see mesh_py.hpp).
#include "mesh/mesh_py.hpp"

#include "mesh/flat_shading.hpp"
#include "mesh/mesh_input_py.hpp"
#include "module/parallel.hpp"

#include <algorithm>

namespace gk {

const char kExpandFlatShadedDoc[] =
    "\n"
    "    Expand indexed mesh so each triangle corner is a unique vertex carrying the\n"
    "    face normal (hard-edge / flat shading). Returns\n"
    "    (new_pos, new_normals, new_indices, src_vertex_indices).\n"
    "    ";

PyObject* expand_flat_shaded_mesh_cy(Call& call) {
    ArrayView pos, indices;
    if (!ArrayView::acquire(call[0], kConstFloat2D, pos)) return GK_FAIL(call);
    if (!ArrayView::acquire(call[1], kConstIndex1D, indices)) return GK_FAIL(call);
    if (indices.extent(0) < 3) {
        PyObject* empty = empty_mesh();
        if (!empty) return GK_FAIL(call);
        return empty;
    }
    // One or two trailing indices complete no triangle and are ignored.
    const Py_ssize_t num_tris = indices.extent(0) / 3;
    const Py_ssize_t n = 3 * num_tris;
    if (!check_positions(pos, num_tris)) return GK_FAIL(call);
    // Indices are read as signed 32-bit values: 2^31 and above never pass.
    const auto limit = static_cast<uint64_t>(std::min<Py_ssize_t>(pos.extent(0), Py_ssize_t{1} << 31));
    if (!check_indices(indices.items<const uint32_t>(), n, limit, kIndexOutOfRange)) {
        return GK_FAIL(call);
    }

    PyRef parts[4];
    ArrayView views[4];
    if (!new_result("empty", {n, 3}, "float32", kFloat2D, parts[0], views[0]) ||
        !new_result("empty", {n, 3}, "float32", kFloat2D, parts[1], views[1]) ||
        !new_result("empty", {n}, "uint32", kIndex1D, parts[2], views[2]) ||
        !new_result("empty", {n}, "uint32", kIndex1D, parts[3], views[3])) {
        return GK_FAIL(call);
    }
    const mesh::FlatMesh out{views[0].rows<float>(), views[1].rows<float>(),
                             views[2].items<uint32_t>(), views[3].items<uint32_t>()};
    const auto points = pos.rows<const float>();
    const auto corners = indices.items<const uint32_t>();
    without_gil([&] { mesh::expand_flat_shaded(points, corners, num_tris, out); });
    PyObject* result = mesh_tuple(parts);
    if (!result) return GK_FAIL(call);
    return result;
}

}  // namespace gk
