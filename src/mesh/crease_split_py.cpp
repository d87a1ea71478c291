// geokern mesh: expand_crease_normals_mesh_cy (see mesh_py.hpp).
//
// The arguments go through numpy as an interpreted caller would pass them
// (ascontiguousarray to float32 and uint32, reshape to triangle rows, with
// numpy's own errors); the splitting itself is the staged native work of
// crease_split.cpp.  The whole call holds the interpreter lock and runs on
// the calling thread: the stages go block by block, looking for Ctrl-C in
// between.
#include "mesh/mesh_py.hpp"

#include "core/constants.hpp"
#include "mesh/crease_split.hpp"
#include "mesh/mesh_input_py.hpp"
#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/interrupt.hpp"
#include "module/numpy_api.hpp"
#include "module/numpy_calls.hpp"
#include "module/numpy_math.hpp"
#include "module/result_array.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace gk {

namespace {

// Triangles per block of the corner copy.
constexpr Py_ssize_t kTriangleBlock = 1024;

// numpy's own text for a fancy index out of bounds.
constexpr const char* kOutOfBounds = "index %u is out of bounds for axis 0 with size %llu";

// `step(first, end)` over 0 .. n - 1 in consecutive blocks of Width, on
// the calling thread, which holds the lock; pending signal handlers run
// every kRowsPerSignalCheck rows.  False when one raised.
template <Py_ssize_t Width, class Step>
bool in_blocks(Py_ssize_t n, Step&& step) {
    Py_ssize_t unchecked = 0;
    for (Py_ssize_t first = 0; first < n; first += Width) {
        step(first, n - first < Width ? n : first + Width);
        unchecked += Width;
        if (unchecked >= kRowsPerSignalCheck) {
            unchecked = 0;
            if (PyErr_CheckSignals() != 0) return false;
        }
    }
    return true;
}

// IndexError for the first copied corner at or above `vertex_count`,
// column by column, as gathering the three corner rows would meet them.
void raise_first_out_of_bounds(const mesh::CreaseWork& work) {
    for (int c = 0; c < 3; ++c) {
        const StridedItems<const uint32_t> column{
            reinterpret_cast<char*>(work.corners_then_normals.get() + c), 3 * sizeof(uint32_t)};
        if (!check_indices(column, work.num_tris, static_cast<uint64_t>(work.vertex_count),
                           kOutOfBounds)) {
            return;
        }
    }
}

// `step(first, end)` over the triangles in blocks of kTriangleBlock.
template <class Step>
bool over_triangles(const mesh::CreaseWork& work, Step&& step) {
    return in_blocks<kTriangleBlock>(work.num_tris, step);
}

// `step(block)` over the vertex blocks.
template <class Step>
bool over_vertex_blocks(const mesh::CreaseWork& work, Step&& step) {
    return in_blocks<mesh::kVertexBlock>(
        work.vertex_count, [&](Py_ssize_t first, Py_ssize_t) { step(first / mesh::kVertexBlock); });
}

// Stages 1 to 3: the corners copied once (the caller's array is not read
// again), the incidence and the face normals.  False when a signal handler
// raised; `in_range` false when a corner names no row of `pos` (nothing
// after the copy is then done).
bool copy_and_link(StridedRows<const float> points, StridedRows<const uint32_t> corner_rows,
                   mesh::CreaseWork& work, bool& in_range) {
    in_range = true;
    if (!over_triangles(work, [&](Py_ssize_t first, Py_ssize_t end) {
            if (!mesh::copy_corners(corner_rows, first, end, work)) in_range = false;
        })) {
        return false;
    }
    if (!in_range) return true;
    mesh::start_counts(work);
    if (!over_triangles(work, [&](Py_ssize_t first, Py_ssize_t end) {
            mesh::count_corners(work, first, end);
        })) {
        return false;
    }
    mesh::sum_counts(work);
    if (!over_triangles(work, [&](Py_ssize_t first, Py_ssize_t end) {
            mesh::fill_incidence(work, first, end);
        })) {
        return false;
    }
    mesh::restore_offsets(work);
    return over_triangles(work, [&](Py_ssize_t first, Py_ssize_t end) {
        mesh::face_normals(points, first, end, work);
    });
}

// Stage 4 into the corner numbers of the result, with room for the
// vertex of most corners; the incidence is released afterwards.  False
// with the exception set.
bool group_vertices(mesh::CreaseWork& work, float cos_threshold, const ArrayView& corner_view) {
    std::vector<mesh::CreaseGroup> groups;
    std::vector<uint32_t> group_of, open;
    if (!run_guarded([&] {
            groups.resize(mesh::most_corners(work));
            group_of.resize(groups.size());
            open.resize(groups.size());
        })) {
        return false;
    }
    const mesh::GroupRoom room{groups.data(), group_of.data(), open.data()};
    const auto corner_ids = corner_view.items<uint32_t>();
    if (!over_vertex_blocks(work, [&](Py_ssize_t block) {
            mesh::group_block(work, block, cos_threshold, room, corner_ids);
        })) {
        return false;
    }
    work.release_incidence();
    return true;
}

// Stage 5 into the other three result arrays (positions, normals,
// sources).  False with the exception set.
bool write_vertices(const mesh::CreaseWork& work, StridedRows<const float> points,
                    const ArrayView (&views)[4]) {
    const auto new_pos = views[0].rows<float>();
    const auto normals = views[1].rows<float>();
    const auto sources = views[3].items<uint32_t>();
    std::size_t row = 0;
    return over_vertex_blocks(work, [&](Py_ssize_t block) {
        row = mesh::write_block(work, block, row, points, new_pos, normals, sources);
    });
}

// Indices given in another dtype than uint32 must convert to it exactly: a
// negative, too large or fractional value names no vertex, where the
// conversion would wrap or truncate it into one.  ValueError otherwise.
bool check_exact_conversion(PyObject* converted, PyObject* given) {
    if (PyArray_DESCR(reinterpret_cast<PyArrayObject*>(given))->type_num == NPY_UINT32) return true;
    PyRef differs(PyObject_RichCompare(converted, given, Py_NE));
    if (!differs) return false;
    PyRef any(PyObject_CallMethod(differs.get(), "any", nullptr));
    if (!any) return false;
    const int inexact = PyObject_IsTrue(any.get());
    if (inexact < 0) return false;
    if (inexact) {
        PyErr_Format(
            PyExc_ValueError,
            "indices of dtype %S hold values that are not uint32 "
            "vertex numbers",
            reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(given))));
        return false;
    }
    return true;
}

// The arguments as the stages take them: float32 positions of three
// columns, uint32 triangle rows, the crease threshold.  `num_tris` is 0
// when the indices hold fewer than three entries (nothing else is set).
struct CreaseArguments {
    PyRef pos_array, tris_array;  // what the views see
    ArrayView pos, tris;
    Py_ssize_t num_tris = 0;
    float cos_threshold = 0.0f;
};

// Coerces (pos, indices, crease_angle_deg) as an interpreted caller would
// pass them through numpy: the angle to a double first, both arrays
// checked to be numpy arrays, then ascontiguousarray to float32 and uint32
// (indices must convert exactly) and the indices reshaped to the flat
// triangle list that (T, 3) rows spell out, with numpy's own errors.
// False with the exception set.
bool coerce_arguments(Call& call, CreaseArguments& args) {
    double angle = 0.0;
    if (!to_double(call[2], &angle)) return false;
    const float crease_angle_deg = static_cast<float>(angle);
    if (!check_arg_type(call[0], &PyArray_Type, false, "pos", false) ||
        !check_arg_type(call[1], &PyArray_Type, false, "indices", false)) {
        return false;
    }
    args.pos_array = PyRef(np_call("ascontiguousarray", {call[0]}, Dtype{"float32"}));
    if (!args.pos_array) return false;
    PyRef converted(np_call("ascontiguousarray", {call[1]}, Dtype{"uint32"}));
    if (!converted || !check_exact_conversion(converted.get(), call[1])) return false;
    // Indices of any shape are taken in row-major order.
    PyRef index_array(PyObject_CallMethod(converted.get(), "reshape", "i", -1));
    if (!index_array) return false;
    const Py_ssize_t count = PyObject_Size(index_array.get());
    if (count < 0) return false;
    if (count < 3) return true;
    args.tris_array = PyRef(PyObject_CallMethod(index_array.get(), "reshape", "ii", -1, 3));
    if (!args.tris_array) return false;

    if (!ArrayView::acquire(args.pos_array.get(), kConstFloat2D, args.pos)) return false;
    if (!ArrayView::acquire(args.tris_array.get(), kConstIndex2D, args.tris)) return false;
    if (args.pos.extent(1) != 3) {
        PyErr_Format(PyExc_ValueError, "pos must have 3 columns, got %zd", args.pos.extent(1));
        return false;
    }
    if (!args.tris.require_columns(3, "indices")) return false;
    const Py_ssize_t num_tris = args.tris.extent(0);
    // Output vertex numbers and corner places are uint32.
    if (3 * num_tris > Py_ssize_t{UINT32_MAX}) {
        PyErr_Format(PyExc_OverflowError,
                     "indices holds %zd triangles, more than uint32 can number", num_tris);
        return false;
    }
    // cos(deg2rad(angle)) as numpy evaluates it, rounded to float32 for the
    // comparisons.
    const double radians =
        static_cast<double>(mesh::clamp_crease_angle(crease_angle_deg)) * kDegToRad;
    args.cos_threshold = static_cast<float>(numpy_cos(radians));
    args.num_tris = num_tris;
    return true;
}

// Runs the stages over coerced arguments with triangles and returns the
// tuple (new_pos, new_normals, new_indices, src_vertex_indices), or nullptr
// with the exception set.
PyObject* split_creases(const CreaseArguments& args) {
    const Py_ssize_t num_tris = args.num_tris;
    // The working arrays may fail to allocate: MemoryError, nothing kept.
    std::optional<mesh::CreaseWork> work;
    if (!run_guarded([&] { work.emplace(args.pos.extent(0), num_tris); })) return nullptr;
    const auto points = args.pos.rows<const float>();
    bool in_range = true;
    if (!copy_and_link(points, args.tris.rows<const uint32_t>(), *work, in_range)) return nullptr;
    if (!in_range) {
        raise_first_out_of_bounds(*work);
        return nullptr;
    }

    PyRef parts[4];
    ArrayView views[4];
    if (!new_result("zeros", {3 * num_tris}, "uint32", kIndex1D, parts[2], views[2])) {
        return nullptr;
    }
    populate_result(views[2], kIndex1D, PagesAtOnce::all);
    if (!group_vertices(*work, args.cos_threshold, views[2])) return nullptr;
    const auto rows = static_cast<Py_ssize_t>(work->outputs);
    if (!new_result("empty", {rows, 3}, "float32", kFloat2D, parts[0], views[0]) ||
        !new_result("empty", {rows, 3}, "float32", kFloat2D, parts[1], views[1]) ||
        !new_result("empty", {rows}, "uint32", kIndex1D, parts[3], views[3])) {
        return nullptr;
    }
    populate_result(views[0], kFloat2D, PagesAtOnce::all);
    populate_result(views[1], kFloat2D, PagesAtOnce::all);
    populate_result(views[3], kIndex1D, PagesAtOnce::all);
    if (!write_vertices(*work, points, views)) return nullptr;
    return mesh_tuple(parts);
}

}  // namespace

const char kExpandCreaseNormalsDoc[] =
    "\n"
    "    Split vertices only where adjacent face normals exceed ``crease_angle_deg``.\n"
    "    Coplanar regions (e.g. roofs) share one averaged normal; sharp building\n"
    "    corners stay hard-edged. Returns the same tuple as expand_flat_shaded_mesh_cy.\n"
    "    ";

PyObject* crease_angle_defaults() { return Py_BuildValue("(d)", 60.0); }

PyObject* expand_crease_normals_mesh_cy(Call& call) {
    CreaseArguments args;
    if (!coerce_arguments(call, args)) return call.fail();
    if (args.num_tris == 0) return call.result(empty_mesh());
    return call.result(split_creases(args));
}

}  // namespace gk
