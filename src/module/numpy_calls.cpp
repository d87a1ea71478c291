// geokern module layer: calling numpy at the Python level (see numpy_calls.hpp).
#include "module/numpy_calls.hpp"

#include "module/ref.hpp"
#include "module/state.hpp"

#include <cstring>
#include <string>

namespace gk {

PyObject* np_attr(const char* dotted_name) {
    static Name np_name("np");
    PyRef object(lookup_global(np_name));
    for (const char* part = dotted_name; object && part;) {
        const char* dot = std::strchr(part, '.');
        const std::string name = dot ? std::string(part, dot) : std::string(part);
        object = PyRef(PyObject_GetAttrString(object.get(), name.c_str()));
        part = dot ? dot + 1 : nullptr;
    }
    return object.release();
}

PyObject* call_function(PyObject* callable, std::initializer_list<PyObject*> args,
                        std::initializer_list<Keyword> kwargs) {
    constexpr size_t kMaxCallArgs = 8;
    if (args.size() + kwargs.size() > kMaxCallArgs) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for call_function()");
        return nullptr;
    }
    PyObject* stack[kMaxCallArgs];
    size_t n = 0;
    for (PyObject* arg : args) stack[n++] = arg;
    PyRef kwnames;
    if (kwargs.size() > 0) {
        kwnames = PyRef(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        if (!kwnames) return nullptr;
        Py_ssize_t k = 0;
        for (const Keyword& kw : kwargs) {
            PyObject* name = PyUnicode_InternFromString(kw.first);
            if (!name) return nullptr;
            PyTuple_SET_ITEM(kwnames.get(), k++, name);
            stack[n++] = kw.second;
        }
    }
    return PyObject_Vectorcall(callable, stack, args.size(), kwnames.get());
}

PyObject* np_call(const char* dotted_name, std::initializer_list<PyObject*> args,
                  std::initializer_list<Keyword> kwargs) {
    PyRef function(np_attr(dotted_name));
    if (!function) return nullptr;
    return call_function(function.get(), args, kwargs);
}

PyObject* np_call(const char* dotted_name, std::initializer_list<PyObject*> args, Dtype dtype) {
    PyRef function(np_attr(dotted_name));
    if (!function) return nullptr;
    PyRef dtype_object(np_attr(dtype.name));
    if (!dtype_object) return nullptr;
    return call_function(function.get(), args, {{"dtype", dtype_object.get()}});
}

}  // namespace gk
