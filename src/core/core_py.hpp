// geokern core: the module-level entry points over the exported core
// functions.  Each converts its arguments to doubles in order, calls the
// core function and returns new Python objects.
#pragma once

#include "module/function.hpp"

namespace gk {

PyObject* out_of_china_cpp(Call& call);              // (lon, lat) -> bool
PyObject* web_mercator_to_geodetic_cpp(Call& call);  // (x, y, z) -> [lon, lat, z]
PyObject* geodetic_to_web_mercator_cpp(Call& call);  // (lon, lat, alt) -> [x, y, alt]
PyObject* geodetic2ecef_cpp(Call& call);             // (lon, lat, alt) -> [X, Y, Z]

}  // namespace gk
