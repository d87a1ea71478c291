// geokern ecef: module-level functions and native exports of the
// geodetic-to-ECEF conversions.
//
// Two paths share one formula (geodetic2ecef.hpp):
//   - the scalar path (geodetic2ecef_cy, and row by row, serially,
//     geodetic2ecef_np_cy / geodetic2ecef_cy_np) converts angles through the
//     module-level `radians` at every use and raises ZeroDivisionError
//     "float division" for a NaN or infinite latitude;
//   - the batch path (geodetic2ecef_fast_array) runs in parallel with a
//     constant degree factor and writes NaN rows instead of raising.
// None counts as zero rows; array rows need at least 3 columns.
#pragma once

#include "module/function.hpp"
#include "module/view.hpp"

namespace gk {

PyObject* geodetic2ecef_cy(Call& call);     // (lon, lat, alt) -> [X, Y, Z]
PyObject* geodetic2ecef_cy_np(Call& call);  // (arr) -> (N, 3), row by row
PyObject* geodetic2ecef_np_cy(Call& call);  // the same operation
PyObject* geodetic2ecef_fast_array(Call& call);

// Native exports.  New references, or nullptr with an exception set.
PyObject* geodetic2ecef_cython(const double lon, const double lat, const double h);
PyObject* geodetic2ecef_cython_np_mv(ArrayViewSlice arr);
PyObject* geodetic2ecef_custom_ellipsoid_cython(const double d1, const double d2, const double d3);

}  // namespace gk
