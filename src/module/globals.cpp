// geokern module layer: module-level names used as functions of one double.
#include "module/globals.hpp"

#include "module/args.hpp"
#include "module/ref.hpp"

namespace gk {

bool call_global_double(Name& name, PyObject* original, double (*native)(double), double x,
                        double* out) {
    PyRef bound(lookup_global(name));
    if (!bound) return false;
    if (bound.get() == original) {
        *out = native(x);
        return true;
    }
    PyRef arg(PyFloat_FromDouble(x));
    if (!arg) return false;
    PyRef result(PyObject_CallOneArg(bound.get(), arg.get()));
    return result && to_double(result.get(), out);
}

bool module_radians(double x, double* out) {
    static Name name("radians");
    return call_global_double(name, state().math_radians, math_radians, x, out);
}

bool module_degrees(double x, double* out) {
    static Name name("degrees");
    return call_global_double(name, state().math_degrees, math_degrees, x, out);
}

}  // namespace gk
