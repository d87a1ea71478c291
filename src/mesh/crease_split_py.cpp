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
#include "module/numpy_math.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace gk {

namespace {

// Triangles per block of the corner copy.
constexpr int kTriangleBlock = 1024;

// numpy's own text for a fancy index out of bounds.
constexpr const char* kOutOfBounds = "index %u is out of bounds for axis 0 with size %llu";

// `group(i, count)` over 0 .. n - 1 in consecutive groups of Width, on the
// calling thread, which holds the lock; pending signal handlers run every
// kRowsPerSignalCheck rows.  False when one raised.
template <int Width, class GroupFn>
bool in_blocks(Py_ssize_t n, GroupFn&& group) {
    Py_ssize_t unchecked = 0;
    for (Py_ssize_t i = 0; i < n; i += Width) {
        group(i, static_cast<int>(n - i < Width ? n - i : Width));
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
        const StridedItems<const uint32_t> column{reinterpret_cast<char*>(work.corners.get() + c),
                                                  3 * sizeof(uint32_t)};
        if (!check_indices(column, work.num_tris, static_cast<uint64_t>(work.vertex_count),
                           kOutOfBounds)) {
            return;
        }
    }
}

// Stages 1 and 2: the corners copied once (the caller's array is not read
// again) and the incidence.  False when a signal handler raised; `in_range`
// false when a corner names no row of `pos` (the incidence is then not
// built).
bool copy_and_link(StridedRows<const float> points, StridedRows<const uint32_t> corner_rows,
                   mesh::CreaseWork& work, bool& in_range) {
    in_range = true;
    if (!in_blocks<kTriangleBlock>(work.num_tris, [&](Py_ssize_t first, int count) {
            if (!mesh::copy_corners(points, corner_rows, first, first + count,
                                    static_cast<uint64_t>(work.vertex_count), work)) {
                in_range = false;
            }
        })) {
        return false;
    }
    if (!in_range) return true;
    mesh::count_corners(work, 0, work.vertex_count);
    mesh::sum_counts(work);
    mesh::fill_incidence(work, 0, work.vertex_count);
    mesh::restore_offsets(work);
    return true;
}

// Stage 3, block by block into one room of most_corners() groups;
// block_base gets each block's first output vertex and `outputs` their
// number.  False with the exception set.
bool group_vertices(mesh::CreaseWork& work, float cos_threshold,
                    std::vector<std::size_t>& block_base, std::size_t& outputs) {
    std::vector<mesh::CreaseGroup> groups;
    if (!guard_cpp([&]() -> PyObject* {
            groups.resize(mesh::most_corners(work));
            block_base.resize(static_cast<std::size_t>(work.blocks()));
            return Py_None;  // borrowed, only a mark of success
        })) {
        return false;
    }
    if (!in_blocks<mesh::kVertexBlock>(work.vertex_count, [&](Py_ssize_t first, int) {
            mesh::group_block(work, first / mesh::kVertexBlock, cos_threshold, groups.data());
        })) {
        return false;
    }
    outputs = mesh::block_bases(work, block_base.data());
    return true;
}

// Stage 4 into the four result arrays (positions, normals, corner numbers,
// sources).  False with the exception set.
bool write_vertices(const mesh::CreaseWork& work, const std::vector<std::size_t>& block_base,
                    StridedRows<const float> points, const ArrayView (&views)[4]) {
    const auto new_pos = views[0].rows<float>();
    const auto normals = views[1].rows<float>();
    const auto corner_ids = views[2].items<uint32_t>();
    const auto sources = views[3].items<uint32_t>();
    return in_blocks<mesh::kVertexBlock>(work.vertex_count, [&](Py_ssize_t first, int) {
        const Py_ssize_t block = first / mesh::kVertexBlock;
        mesh::write_block(work, block, block_base[block], points, new_pos, normals, sources,
                          corner_ids);
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

}  // namespace

const char kExpandCreaseNormalsDoc[] =
    "\n"
    "    Split vertices only where adjacent face normals exceed ``crease_angle_deg``.\n"
    "    Coplanar regions (e.g. roofs) share one averaged normal; sharp building\n"
    "    corners stay hard-edged. Returns the same tuple as expand_flat_shaded_mesh_cy.\n"
    "    ";

PyObject* crease_angle_defaults() { return Py_BuildValue("(d)", 60.0); }

PyObject* expand_crease_normals_mesh_cy(Call& call) {
    double angle = 0.0;
    if (!to_double(call[2], &angle)) return call.fail();
    const float crease_angle_deg = static_cast<float>(angle);
    if (!check_arg_type(call[0], &PyArray_Type, false, "pos", false) ||
        !check_arg_type(call[1], &PyArray_Type, false, "indices", false)) {
        return call.fail();
    }
    PyRef pos_array(numpy_call("ascontiguousarray", call[0], "float32"));
    if (!pos_array) return call.fail();
    PyRef converted(numpy_call("ascontiguousarray", call[1], "uint32"));
    if (!converted || !check_exact_conversion(converted.get(), call[1])) return call.fail();
    // Indices of any shape are taken in row-major order, as the flat
    // triangle list that (T, 3) rows spell out.
    PyRef index_array(PyObject_CallMethod(converted.get(), "reshape", "i", -1));
    if (!index_array) return call.fail();
    const Py_ssize_t count = PyObject_Size(index_array.get());
    if (count < 0) return call.fail();
    if (count < 3) {
        PyObject* empty = empty_mesh();
        if (!empty) return call.fail();
        return empty;
    }
    PyRef tris_array(PyObject_CallMethod(index_array.get(), "reshape", "ii", -1, 3));
    if (!tris_array) return call.fail();

    ArrayView pos, tris;
    if (!ArrayView::acquire(pos_array.get(), kConstFloat2D, pos)) return call.fail();
    if (!ArrayView::acquire(tris_array.get(), kConstIndex2D, tris)) return call.fail();
    const Py_ssize_t num_tris = tris.extent(0);
    const Py_ssize_t vertex_count = pos.extent(0);
    if (pos.extent(1) != 3) {
        PyErr_Format(PyExc_ValueError, "pos must have 3 columns, got %zd", pos.extent(1));
        return call.fail();
    }
    if (!tris.require_columns(3, "indices")) return call.fail();
    // Output vertex numbers and corner places are uint32.
    if (3 * num_tris > Py_ssize_t{UINT32_MAX}) {
        PyErr_Format(PyExc_OverflowError,
                     "indices holds %zd triangles, more than uint32 can number", num_tris);
        return call.fail();
    }
    // cos(deg2rad(angle)) as numpy evaluates it, rounded to float32 for the
    // comparisons.
    const double radians =
        static_cast<double>(mesh::clamp_crease_angle(crease_angle_deg)) * kDegToRad;
    const auto cos_threshold = static_cast<float>(numpy_cos(radians));

    // The working arrays may fail to allocate: MemoryError, nothing kept.
    std::optional<mesh::CreaseWork> work;
    if (!guard_cpp([&]() -> PyObject* {
            work.emplace(vertex_count, num_tris);
            return Py_None;  // borrowed, only a mark of success
        })) {
        return call.fail();
    }
    const auto points = pos.rows<const float>();
    bool in_range = true;
    if (!copy_and_link(points, tris.rows<const uint32_t>(), *work, in_range)) {
        return call.fail();
    }
    if (!in_range) {
        raise_first_out_of_bounds(*work);
        return call.fail();
    }
    std::vector<std::size_t> block_base;
    std::size_t outputs = 0;
    if (!group_vertices(*work, cos_threshold, block_base, outputs)) return call.fail();

    PyRef parts[4];
    ArrayView views[4];
    const auto rows = static_cast<Py_ssize_t>(outputs);
    if (!new_result("zeros", {3 * num_tris}, "uint32", kIndex1D, parts[2], views[2]) ||
        !new_result("empty", {rows, 3}, "float32", kFloat2D, parts[0], views[0]) ||
        !new_result("empty", {rows, 3}, "float32", kFloat2D, parts[1], views[1]) ||
        !new_result("empty", {rows}, "uint32", kIndex1D, parts[3], views[3])) {
        return call.fail();
    }
    if (!write_vertices(*work, block_base, points, views)) return call.fail();
    PyObject* result = mesh_tuple(parts);
    if (!result) return call.fail();
    return result;
}

}  // namespace gk
