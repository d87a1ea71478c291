// geokern mesh: checks and results shared by the module-level mesh
// functions.
#pragma once

#include "core/strided.hpp"
#include "module/python.hpp"
#include "module/ref.hpp"
#include "module/view.hpp"

#include <cstdint>

namespace gk {

// The message of an index at or above the number of vertex rows (filled
// with the index and the limit) of the native mesh functions.
inline constexpr const char* kIndexOutOfRange = "index %u out of range for %llu vertices";

// `pos` must back `num_tris` triangles: ValueError "pos is None but indices
// holds 2 triangles", or "pos must have at least 3 columns, got 2".  No
// check when there is no triangle.
bool check_positions(const ArrayView& pos, Py_ssize_t num_tris);

// IndexError with `format` (see kIndexOutOfRange) filled with the index
// and the limit.
void raise_index_out_of_range(uint32_t index, uint64_t limit,
                              const char* format = kIndexOutOfRange);

// IndexError for the first of indices[0 .. n) at or above `limit`, with
// `format` (see kIndexOutOfRange) filled with the index and the limit.
bool check_indices(StridedItems<const uint32_t> indices, Py_ssize_t n, uint64_t limit,
                   const char* format);

// The four empty arrays of a mesh without triangles: float32 (0, 3),
// float32 (0, 3), uint32 (0,), uint32 (0,), made with np.zeros.
PyObject* empty_mesh();

// The tuple (positions, normals, indices, sources), taking the four.
PyObject* mesh_tuple(PyRef (&parts)[4]);

}  // namespace gk
