// geokern module layer: numpy's own float64 arctan, cos and hypot.
#include "module/numpy_math.hpp"

#include "module/numpy_api.hpp"
#include "module/ref.hpp"

#include <numpy/ufuncobject.h>

#include <cstring>

namespace gk {

namespace {

struct Loop {
    PyUFuncGenericFunction function = nullptr;
    void* data = nullptr;
};

Loop arctan_loop, cos_loop, hypot_loop;

// The loop of numpy.<name> whose operand types are all float64.
int fetch_loop(PyObject* numpy, PyObject* ufunc_type, const char* name, Loop& loop) {
    PyRef object(PyObject_GetAttrString(numpy, name));
    if (!object) return -1;
    if (Py_TYPE(object.get()) != reinterpret_cast<PyTypeObject*>(ufunc_type)) {
        PyErr_Format(PyExc_TypeError, "numpy.%s is not a ufunc", name);
        return -1;
    }
    const auto* ufunc = reinterpret_cast<PyUFuncObject*>(object.get());
    const int nargs = ufunc->nin + ufunc->nout;
    for (int i = 0; i < ufunc->ntypes; ++i) {
        const char* types = ufunc->types + i * nargs;
        bool all_double = true;
        for (int k = 0; k < nargs; ++k) all_double &= types[k] == NPY_DOUBLE;
        if (all_double && ufunc->functions[i]) {
            loop.function = ufunc->functions[i];
            loop.data = ufunc->data ? ufunc->data[i] : nullptr;
            return 0;
        }
    }
    PyErr_Format(PyExc_TypeError, "numpy.%s has no float64 loop", name);
    return -1;
}

double run_unary(const Loop& loop, double x) {
    double result;
    char* args[2] = {reinterpret_cast<char*>(&x), reinterpret_cast<char*>(&result)};
    const npy_intp n = 1;
    const npy_intp steps[2] = {sizeof(double), sizeof(double)};
    loop.function(args, &n, steps, loop.data);
    return result;
}

}  // namespace

int init_numpy_math() {
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    PyRef ufunc_type(PyObject_GetAttrString(numpy.get(), "ufunc"));
    if (!ufunc_type) return -1;
    if (fetch_loop(numpy.get(), ufunc_type.get(), "arctan", arctan_loop) < 0 ||
        fetch_loop(numpy.get(), ufunc_type.get(), "cos", cos_loop) < 0 ||
        fetch_loop(numpy.get(), ufunc_type.get(), "hypot", hypot_loop) < 0) {
        return -1;
    }
    return 0;
}

double numpy_arctan(double x) { return run_unary(arctan_loop, x); }

double numpy_cos(double x) { return run_unary(cos_loop, x); }

double numpy_hypot(double x, double y) {
    double result;
    char* args[3] = {reinterpret_cast<char*>(&x), reinterpret_cast<char*>(&y),
                     reinterpret_cast<char*>(&result)};
    const npy_intp n = 1;
    const npy_intp steps[3] = {sizeof(double), sizeof(double), sizeof(double)};
    hypot_loop.function(args, &n, steps, hypot_loop.data);
    return result;
}

}  // namespace gk
