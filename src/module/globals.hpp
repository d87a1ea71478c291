// geokern module layer: module-level names used as functions of one double.
//
// Module code looks such a name up at every use, so rebinding it (say
// geokern.radians = f) changes later results.  While the name still holds
// what the exec step bound, the native equivalent is used instead of a
// call: it gives the same bits at a fraction of the cost.
#pragma once

#include "core/constants.hpp"
#include "module/python.hpp"
#include "module/state.hpp"

namespace gk {

// The value of `name(x)` as a double: `native(x)` while the name is bound
// to `original`, otherwise the bound object called with a float and its
// result converted like a float argument.  False with the exception set
// (NameError when the name is unbound, or whatever the call raises).
bool call_global_double(Name& name, PyObject* original, double (*native)(double), double x,
                        double* out);

// math.radians and math.degrees as the interpreter computes them.
inline double math_radians(double x) { return x * (kPi / 180.0); }
inline double math_degrees(double x) { return x * (180.0 / kPi); }

// radians(x) and degrees(x) through the module-level names.
bool module_radians(double x, double* out);
bool module_degrees(double x, double* out);

}  // namespace gk
