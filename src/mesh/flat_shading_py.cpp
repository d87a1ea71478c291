// geokern mesh: expand_flat_shaded_mesh_cy (see mesh_py.hpp).
#include "mesh/mesh_py.hpp"

#include "mesh/flat_shading.hpp"
#include "mesh/mesh_input_py.hpp"
#include "module/interrupt.hpp"
#include "module/numpy_calls.hpp"
#include "module/parallel.hpp"
#include "module/result_array.hpp"

#include <algorithm>

namespace gk {

namespace {

// new_indices = np.arange(n, dtype=np.uint32).  Nothing is written into
// it, so whatever a rebound `np` returns is handed back as it is.
bool make_index_buffer(Py_ssize_t n, PyRef& out) {
    PyRef count(PyLong_FromSsize_t(n));
    if (!count) return false;
    out = PyRef(np_call("arange", {count.get()}, Dtype{"uint32"}));
    return static_cast<bool>(out);
}

}  // namespace

const char kExpandFlatShadedDoc[] =
    "\n"
    "    Expand indexed mesh so each triangle corner is a unique vertex carrying the\n"
    "    face normal (hard-edge / flat shading). Returns\n"
    "    (new_pos, new_normals, new_indices, src_vertex_indices).\n"
    "    ";

PyObject* expand_flat_shaded_mesh_cy(Call& call) {
    ArrayView pos, indices;
    if (!ArrayView::acquire(call[0], kConstFloat2D, pos)) return call.fail();
    if (!ArrayView::acquire(call[1], kConstIndex1D, indices)) return call.fail();
    if (indices.extent(0) < 3) {
        PyObject* empty = empty_mesh();
        if (!empty) return call.fail();
        return empty;
    }
    // One or two trailing indices complete no triangle and are ignored.
    const Py_ssize_t num_tris = indices.extent(0) / 3;
    const Py_ssize_t n = 3 * num_tris;
    if (!check_positions(pos, num_tris)) return call.fail();
    PyRef parts[4];
    ArrayView views[4];
    if (!new_result("empty", {n, 3}, "float32", kFloat2D, parts[0], views[0]) ||
        !new_result("empty", {n, 3}, "float32", kFloat2D, parts[1], views[1]) ||
        !make_index_buffer(n, parts[2]) ||
        !new_result("empty", {n}, "uint32", kIndex1D, parts[3], views[3])) {
        return call.fail();
    }
    // Indices are read as signed 32-bit values: 2^31 and above never pass.
    // Each is checked where the loop reads it: making the results may have
    // run Python code, and another thread may change the array meanwhile.
    mesh::CheckedCorners corners{
        indices.items<const uint32_t>(),
        static_cast<uint64_t>(std::min<Py_ssize_t>(pos.extent(0), Py_ssize_t{1} << 31)),
        {}};
    const mesh::FlatMesh out{views[0].rows<float>(), views[1].rows<float>(),
                             views[3].items<uint32_t>()};
    const auto points = pos.rows<const float>();
    bool done = false;
    without_gil([&] {
        done = in_signal_checked_blocks(num_tris, [&](std::ptrdiff_t first, std::ptrdiff_t end) {
            return mesh::expand_flat_shaded(points, corners, first, end, out);
        });
    });
    if (corners.bad) raise_index_out_of_range(*corners.bad, corners.limit);
    if (!done) return call.fail();
    PyObject* result = mesh_tuple(parts);
    if (!result) return call.fail();
    return result;
}

}  // namespace gk
