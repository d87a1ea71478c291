// geokern mesh: the module-level mesh functions.
//
// Meshes are float32 positions (one row per vertex, columns x, y, z) and
// uint32 triangle corner indices, three per triangle.  Every index is
// checked where a function reads it, on the one copy it uses (another
// thread may write the array meanwhile): an index that no row backs raises
// IndexError and the call returns nothing.  Positions given as None or
// with too few columns while there are triangles raise ValueError before
// any work.
#pragma once

#include "module/function.hpp"

namespace gk {

// calculate_smooth_normals_cy(pos, indices, vertex_count): float32
// (vertex_count, 3) area-weighted unit vertex normals; accumulation on the
// calling thread, normalisation in parallel, the lock released for both.
PyObject* calculate_smooth_normals_cy(Call& call);

// expand_flat_shaded_mesh_cy(pos, indices): (new_pos, new_normals,
// new_indices, src_vertex_indices), one vertex per triangle corner
// carrying its face's normal; one serial pass with the lock released.
PyObject* expand_flat_shaded_mesh_cy(Call& call);
extern const char kExpandFlatShadedDoc[];

// expand_crease_normals_mesh_cy(pos, indices, crease_angle_deg=60.0): the
// same tuple, with vertices split only across creases sharper than the
// angle; serial, holding the lock.
PyObject* expand_crease_normals_mesh_cy(Call& call);
extern const char kExpandCreaseNormalsDoc[];
PyObject* crease_angle_defaults();  // (60.0,)

}  // namespace gk
