// geokern ecef: ECEF-to-geodetic batches over a transformed point set.
//
// Each batch forms pos = np.dot(pos_array, transform) (points as row
// vectors, so homogeneous rows (x, y, z, 1) with a 4 x 4 transform apply
// rotation and translation), checks that pos is a 2-D float64 ndarray with
// at least 3 columns, and converts its rows in parallel with the lock
// released into a new (N, 2) array of (lon, lat) degrees, or (N, 3) with
// heights.  The row method is the batch variant of ecef2geodetic.hpp.
//
//   ecef2geodetic_list_cy(pos_array, transform)             pos_array: list or None
//   ecef2geodetic_nparray_cy(pos_array, transform=eye(4), return_z=False)
//   ecef2geodetic_np_cy(...)                                 the same operation
#pragma once

#include "module/function.hpp"
#include "module/view.hpp"

namespace gk {

PyObject* ecef2geodetic_list_cy(Call& call);
PyObject* ecef2geodetic_nparray_cy(Call& call);
PyObject* ecef2geodetic_np_cy(Call& call);

// Defaults factories: (view of this function's own 4 x 4 identity, False).
PyObject* ecef2geodetic_nparray_cy_defaults();
PyObject* ecef2geodetic_np_cy_defaults();

// Native exports.  New references, or nullptr with an exception set.
PyObject* ecef2geodetic_list_cython(PyObject* pos_array, ArrayViewSlice transform);
PyObject* ecef2geodetic_nparray_cython(ArrayViewSlice pos_array, ArrayViewSlice transform,
                                       bool return_z);

}  // namespace gk
