// geokern mesh: expand_crease_normals_mesh_cy (see mesh_py.hpp).
//
// The arguments go through numpy as an interpreted caller would pass them
// (ascontiguousarray to float32 and uint32, reshape to triangle rows, with
// numpy's own errors); the splitting itself is the native loop of
// crease_split.cpp.
#include "mesh/mesh_py.hpp"

#include "core/constants.hpp"
#include "mesh/crease_split.hpp"
#include "mesh/mesh_input_py.hpp"
#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/interrupt.hpp"
#include "module/numpy_api.hpp"
#include "module/numpy_math.hpp"

#include <optional>
#include <vector>

namespace gk {

namespace {

// numpy's own text for a fancy index out of bounds.
constexpr const char* kOutOfBounds = "index %u is out of bounds for axis 0 with size %llu";

// The corner indices, copied once out of `tris` (whose memory Python code
// run later in the call may change) and checked on the copy column by
// column, as gathering the three corner rows would meet them.  False with
// IndexError set when one is at or above `vertex_count`; throws
// std::bad_alloc.
bool checked_corner_copy(const ArrayView& tris, Py_ssize_t vertex_count,
                         std::vector<uint32_t>& copy) {
    const auto rows = tris.rows<const uint32_t>();
    const Py_ssize_t num_tris = tris.extent(0);
    copy.resize(3 * static_cast<std::size_t>(num_tris));
    for (Py_ssize_t t = 0; t < num_tris; ++t) {
        const StridedItems<const uint32_t> row{rows.data + t * rows.row_stride, rows.col_stride};
        for (int c = 0; c < 3; ++c) copy[3 * t + c] = row.load_once(c);
    }
    for (int c = 0; c < 3; ++c) {
        const StridedItems<const uint32_t> column{reinterpret_cast<char*>(copy.data() + c),
                                                  3 * sizeof(uint32_t)};
        if (!check_indices(column, num_tris, static_cast<uint64_t>(vertex_count), kOutOfBounds)) {
            return false;
        }
    }
    return true;
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
    std::vector<uint32_t> corners;
    if (!guard_cpp([&]() -> PyObject* {
            return checked_corner_copy(tris, vertex_count, corners) ? Py_None : nullptr;
        })) {
        return call.fail();
    }
    const StridedRows<const uint32_t> corner_rows{reinterpret_cast<char*>(corners.data()),
                                                  3 * sizeof(uint32_t), sizeof(uint32_t)};
    // Output vertex numbers and triangle numbers are uint32.
    if (3 * num_tris > Py_ssize_t{UINT32_MAX}) {
        PyErr_Format(PyExc_OverflowError,
                     "indices holds %zd triangles, more than uint32 can number", num_tris);
        return call.fail();
    }

    PyRef corner_ids;
    ArrayView ids;
    if (!new_result("zeros", {3 * num_tris}, "uint32", kIndex1D, corner_ids, ids)) {
        return call.fail();
    }
    // cos(deg2rad(angle)) as numpy evaluates it, rounded to float32 for the
    // comparisons.
    const double radians =
        static_cast<double>(mesh::clamp_crease_angle(crease_angle_deg)) * kDegToRad;
    const auto cos_threshold = static_cast<float>(numpy_cos(radians));
    // The working arrays may fail to allocate: MemoryError, nothing kept.
    std::optional<mesh::CreaseVertices> split;
    PyObject* const done = guard_cpp([&]() -> PyObject* {
        split = mesh::split_creases(pos.rows<const float>(), vertex_count, corner_rows, num_tris,
                                    cos_threshold, ids.items<uint32_t>(), kRowsPerSignalCheckLocked,
                                    [] { return PyErr_CheckSignals() == 0; });
        return Py_None;  // borrowed, only a mark of success
    });
    if (!done || split->stopped) return call.fail();

    const auto m = static_cast<Py_ssize_t>(split->sources.size());
    PyRef parts[4];
    ArrayView views[4];
    if (!new_result("empty", {m, 3}, "float32", kFloat2D, parts[0], views[0]) ||
        !new_result("empty", {m, 3}, "float32", kFloat2D, parts[1], views[1]) ||
        !new_result("empty", {m}, "uint32", kIndex1D, parts[3], views[3])) {
        return call.fail();
    }
    parts[2] = std::move(corner_ids);
    mesh::write_crease_vertices(pos.rows<const float>(), *split, views[0].rows<float>(),
                                views[1].rows<float>(), views[3].items<uint32_t>());
    PyObject* result = mesh_tuple(parts);
    if (!result) return call.fail();
    return result;
}

}  // namespace gk
