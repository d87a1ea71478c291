// geokern module layer: failure reporting.
//
// Every failure that passes through a function of the module gets a
// traceback entry named "geokern.<function>" in the source file "geokern",
// at the line of the failing statement.  C++ exceptions never cross into
// the interpreter: they are translated into Python exceptions here.
#pragma once

#include "module/python.hpp"

#include <source_location>

namespace gk {

using Where = std::source_location;

// Adds a traceback entry named `qualified_name` at `line` to the exception
// being raised.
void add_traceback(const char* qualified_name, int line);

// The caller's line, for code that reports a failing step by its line:
//   if (!value) return line_here();
inline int line_here(Where where = Where::current()) { return static_cast<int>(where.line()); }

// The traceback entry of one native export or helper, by its qualified
// name; one constant per export, e.g.
//   constexpr TraceEntry kTrace{"geokern.gcj02_to_bd09"};
// Every member adds the entry at the caller's line.
class TraceEntry {
public:
    consteval explicit TraceEntry(const char* qualified_name) : name_(qualified_name) {}

    const char* name() const { return name_; }

    // Adds the entry to the exception being raised.
    void add(Where where = Where::current()) const { add_traceback(name_, where.line()); }

    // Adds the entry and returns nullptr:  if (!list) return kTrace.fail();
    std::nullptr_t fail(Where where = Where::current()) const {
        add(where);
        return nullptr;
    }

    // The export's result as it returns it: `result`, or nullptr with the
    // entry added when it is nullptr:  return kTrace(float_list({x, y}));
    PyObject* operator()(PyObject* result, Where where = Where::current()) const {
        if (!result) add(where);
        return result;
    }

private:
    const char* name_;
};

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

// Runs `f` (which returns nothing) and turns a C++ exception thrown inside
// it into the matching Python exception: false when one was thrown.
template <class F>
bool run_guarded(F&& f) {
    try {
        f();
        return true;
    } catch (...) {
        translate_current_exception();
        return false;
    }
}

}  // namespace gk
