// geokern ecef: module-level functions and native exports of the
// geodetic-to-ECEF conversions.
#pragma once

#include "module/function.hpp"

namespace gk {

// geodetic2ecef_fast_array(arr): (N, 3) rows of (lon deg, lat deg, h m) to
// a new float64 (N, 3) ECEF array, in parallel with the lock released.
// None counts as zero rows; rows must have at least 3 columns.
PyObject* geodetic2ecef_fast_array(Call& call);

// Native export: ignores its arguments and returns None.
PyObject* geodetic2ecef_custom_ellipsoid_cython(const double d1, const double d2,
                                                const double d3);

}  // namespace gk
