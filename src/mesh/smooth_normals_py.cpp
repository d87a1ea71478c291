// geokern mesh: calculate_smooth_normals_cy (see mesh_py.hpp).
#include "mesh/mesh_py.hpp"

#include "mesh/mesh_input_py.hpp"
#include "mesh/smooth_normals.hpp"
#include "module/args.hpp"
#include "module/parallel.hpp"

#include <algorithm>

namespace gk {

PyObject* calculate_smooth_normals_cy(Call& call) {
    ArrayView pos, indices;
    int vertex_count = 0;
    if (!ArrayView::acquire(call[0], kConstFloat2D, pos)) return GK_FAIL(call);
    if (!ArrayView::acquire(call[1], kConstIndex1D, indices)) return GK_FAIL(call);
    if (!to_int32(call[2], &vertex_count)) return GK_FAIL(call);
    // One or two trailing indices complete no triangle and are not read.
    const Py_ssize_t num_tris = indices.extent(0) / 3;
    if (!check_positions(pos, num_tris)) return GK_FAIL(call);

    PyRef result;
    ArrayView out;
    if (!new_result("zeros", {vertex_count, 3}, "float32", kFloat2D, result, out)) {
        return GK_FAIL(call);
    }
    // Indices are read as signed 32-bit values, so 2^31 and above fail
    // here too: the limit never exceeds vertex_count.
    const auto limit = static_cast<uint64_t>(std::min<Py_ssize_t>(vertex_count, pos.extent(0)));
    if (!check_indices(indices.items<const uint32_t>(), 3 * num_tris, limit, kIndexOutOfRange)) {
        return GK_FAIL(call);
    }

    const auto points = pos.rows<const float>();
    const auto corners = indices.items<const uint32_t>();
    const auto normals = out.rows<float>();
    without_gil([&] {
        mesh::accumulate_face_normals(points, corners, num_tris, normals);
        team_rows(vertex_count, [normals](Py_ssize_t i) { mesh::normalize_row(normals, i); });
    });
    return result.release();
}

}  // namespace gk
