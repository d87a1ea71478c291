// geokern core: the Web Mercator batch conversions as module-level
// functions.  Each takes one (N, 3) float64 array `arr` and returns a new
// (N, 3) float64 array, converted in parallel (module/row_batch.hpp).
#pragma once

#include "module/function.hpp"

namespace gk {

PyObject* geodetic_to_web_mercator_fast_array(Call& call);
PyObject* web_mercator_to_geodetic_fast_array(Call& call);
PyObject* web_mercator_to_ecef_fast_array(Call& call);

// Their docstrings.
extern const char kWebMercatorToEcefDoc[];
extern const char kGeodeticToWebMercatorDoc[];
extern const char kWebMercatorToGeodeticDoc[];

}  // namespace gk
