// geokern module layer: small Python result values built from doubles.
#pragma once

#include "module/python.hpp"
#include "module/ref.hpp"

#include <initializer_list>
#include <span>

namespace gk {

// A new list of Python floats holding `values` in order (nullptr with an
// exception set on failure).
inline PyObject* float_list(std::span<const double> values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

inline PyObject* float_list(std::initializer_list<double> values) {
    return float_list(std::span<const double>(values.begin(), values.size()));
}

// A new tuple of Python floats holding `values` in order.
inline PyObject* float_tuple(std::initializer_list<double> values) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (double value : values) {
        PyObject* item = PyFloat_FromDouble(value);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple.release();
}

}  // namespace gk
