// geokern module layer: failure reporting.
//
// Every failure that passes through a function of the module gets a
// traceback entry named "geokern.<function>" in the source file "geokern",
// at the line of the failing statement.  C++ exceptions never cross into
// the interpreter: they are translated into Python exceptions here.
#pragma once

#include "module/python.hpp"

namespace gk {

// Adds a traceback entry named `qualified_name` at `line` to the exception
// being raised.
void add_traceback(const char* qualified_name, int line);

// A native body's own failure: adds its entry and returns nullptr, e.g.
//   if (!list) return GK_TRACE("geokern.geodetic2ecef_cython");
#define GK_TRACE(qualified_name) (::gk::add_traceback((qualified_name), __LINE__), nullptr)

// Translates the C++ exception being handled (call inside a catch block):
// bad_alloc -> MemoryError; invalid_argument, domain_error -> ValueError;
// out_of_range -> IndexError; overflow_error -> OverflowError;
// range_error, underflow_error -> ArithmeticError; bad_cast, bad_typeid ->
// TypeError; ios_base::failure -> OSError; other std::exception ->
// RuntimeError with its message; anything else -> RuntimeError
// "Unknown exception".
void translate_current_exception();

// Runs `f` (which returns a new reference or nullptr) and turns a C++
// exception thrown inside it into the matching Python exception.
template <class F>
PyObject* guard_cpp(F&& f) {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

}  // namespace gk
