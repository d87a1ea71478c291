// geokern obb: the 2-D oriented bounding box of points, as WKT.
//
// The box is aligned with the principal axes of the points (the
// eigenvectors of their population covariance), not the minimum-area
// rectangle.  All arithmetic is numpy's, reached through the module
// attribute `np` at each use, with the interpreter lock held.
#pragma once

#include "module/function.hpp"
#include "module/view.hpp"

namespace gk {

// generate_obb_2d_from_points(pos_array), with pos_array a writable
// float64 (N, 2) array (any strides; only read) or None: the export on its
// slice.  It returns "POLYGON((x0 y0,x1 y1,x2 y2,x3 y3,x0 y0))".
PyObject* generate_obb_2d_from_points(Call& call);

// Native export: the box of the (N, 2) double slice, which is borrowed.
// numpy's errors pass through unchanged (None, no rows, NaN or infinite
// coordinates, other column counts).  New reference, or nullptr with the
// exception set.
PyObject* generate_obb_2d_from_points_cython(ArrayViewSlice pos_array);

}  // namespace gk
