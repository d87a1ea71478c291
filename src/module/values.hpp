// geokern module layer: small Python result values built from doubles.
#pragma once

#include "module/python.hpp"
#include "module/ref.hpp"

#include <initializer_list>
#include <iterator>
#include <span>

namespace gk {

// A new tuple of `values`, each made into an object by `make` (which
// returns a new reference, or nullptr with an exception set).
template <class Values, class Make>
PyObject* tuple_of(const Values& values, Make make) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(std::size(values))));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& value : values) {
        PyObject* item = make(value);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i++, item);
    }
    return tuple.release();
}

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
    return tuple_of(values, PyFloat_FromDouble);
}

}  // namespace gk
