// geokern module layer: failure reporting (see errors.hpp).
#include "module/errors.hpp"

#include <frameobject.h>

#include "module/ref.hpp"
#include "module/state.hpp"

#include <ios>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

namespace gk {

namespace {

// One empty code object per (function, line) pair, made on first use and
// kept: a traceback entry takes its name, file and line from the code.
PyCodeObject* code_for(const char* qualified_name, int line) {
    static std::map<std::pair<std::string, int>, PyCodeObject*> cache;
    try {
        auto key = std::make_pair(std::string(qualified_name), line);
        auto it = cache.find(key);
        if (it != cache.end()) return it->second;
        PyCodeObject* code = PyCode_NewEmpty("geokern", qualified_name, line);
        if (code) cache.emplace(std::move(key), code);
        return code;
    } catch (...) {
        return nullptr;  // no memory for the entry: the exception goes on without it
    }
}

}  // namespace

void add_traceback(const char* qualified_name, int line) {
    // Building the entry must not lose the exception being reported.
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = code_for(qualified_name, line);
    PyObject* globals = state().dict;
    PyRef empty_globals;
    if (code && !globals) {
        empty_globals = PyRef(PyDict_New());
        globals = empty_globals.get();
    }
    PyFrameObject* frame =
        (code && globals) ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

namespace {

template <class T>
bool is(const std::exception& e) {
    return dynamic_cast<const T*>(&e) != nullptr;
}

// The Python exception type for a C++ exception (errors.hpp lists them).
PyObject* python_type_of(const std::exception& e) {
    if (is<std::bad_cast>(e) || is<std::bad_typeid>(e)) return PyExc_TypeError;
    if (is<std::domain_error>(e) || is<std::invalid_argument>(e)) return PyExc_ValueError;
    if (is<std::ios_base::failure>(e)) return PyExc_OSError;
    if (is<std::out_of_range>(e)) return PyExc_IndexError;
    if (is<std::overflow_error>(e)) return PyExc_OverflowError;
    if (is<std::range_error>(e) || is<std::underflow_error>(e)) return PyExc_ArithmeticError;
    return PyExc_RuntimeError;
}

}  // namespace

void translate_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(python_type_of(e), e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

}  // namespace gk
