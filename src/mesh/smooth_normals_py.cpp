// geokern mesh: calculate_smooth_normals_cy (see mesh_py.hpp).
#include "mesh/mesh_py.hpp"

#include "mesh/mesh_input_py.hpp"
#include "mesh/smooth_normals.hpp"
#include "module/args.hpp"
#include "module/interrupt.hpp"
#include "module/parallel.hpp"
#include "module/result_array.hpp"

#include <algorithm>

namespace gk {

namespace {

// Rows below which normalisation runs on the calling thread, where it is
// faster than waking the team (a row costs a nanosecond or two).
constexpr Py_ssize_t kSerialRows = 4096;

}  // namespace

PyObject* calculate_smooth_normals_cy(Call& call) {
    ArrayView pos, indices;
    int vertex_count = 0;
    if (!ArrayView::acquire(call[0], kConstFloat2D, pos)) return call.fail();
    if (!ArrayView::acquire(call[1], kConstIndex1D, indices)) return call.fail();
    if (!to_int32(call[2], &vertex_count)) return call.fail();
    // One or two trailing indices complete no triangle and are not read.
    const Py_ssize_t num_tris = indices.extent(0) / 3;
    if (!check_positions(pos, num_tris)) return call.fail();

    PyRef result;
    ArrayView out;
    if (!new_result("zeros", {vertex_count, 3}, "float32", kFloat2D, result, out)) {
        return call.fail();
    }
    // An index must name a row of `pos` and of the result: rows beyond
    // the mesh are the caller's to ask for and stay (0, 0, 1).  Indices
    // are read as signed 32-bit values, so 2^31 and above fail too: the
    // limit never exceeds vertex_count.  Each index is checked where the
    // loop reads it (another thread may change the array).
    mesh::CheckedCorners corners{
        indices.items<const uint32_t>(),
        static_cast<uint64_t>(std::min<Py_ssize_t>(vertex_count, pos.extent(0))),
        {}};
    const auto points = pos.rows<const float>();
    const auto normals = out.rows<float>();
    bool done = false;
    without_gil([&] {
        done = in_signal_checked_blocks(num_tris, [&](std::ptrdiff_t first, std::ptrdiff_t end) {
            return mesh::accumulate_face_normals(points, corners, first, end, normals);
        });
        done = done && team_rows(vertex_count, kSerialRows,
                                 [normals](Py_ssize_t i) { mesh::normalize_row(normals, i); });
    });
    if (corners.bad) raise_index_out_of_range(*corners.bad, corners.limit);
    if (!done) return call.fail();
    return result.release();
}

}  // namespace gk
