// geokern module layer: argument matching and scalar conversions.
//
// Every argument may be given by position or by keyword; messages are the
// interpreter's classic ones:
//   "f() takes exactly 3 positional arguments (2 given)"
//   "f() got an unexpected keyword argument 'x'"
//   "f() got multiple values for keyword argument 'x'"
//   "f() keywords must be strings"
#pragma once

#include "module/function.hpp"
#include "module/python.hpp"

namespace gk {

// Matches a vectorcall's arguments to the row's argument names, filling
// `out` (borrowed references) with the given values and the defaults
// (`defaults` is the tuple of the optional arguments' defaults, or nullptr).
// Returns 0 on success, or the source line of the failing check with a
// TypeError set.
int match_arguments(const FunctionSpec& spec, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// An exact float is read directly; anything else goes through the
// interpreter's float conversion (__float__, then __index__), whose
// TypeError or OverflowError propagates.
bool to_double(PyObject* obj, double* out);

// Signed 32-bit integer: ints as they are, other objects through their
// integer conversion (floats truncate).  OverflowError "value too large to
// convert to int" outside the range; TypeError "an integer is required"
// for objects without one.
bool to_int32(PyObject* obj, int* out);

// The interpreter's truth test: 1, 0, or -1 with its error.
int to_truth(PyObject* obj);

// Tests an argument declared with a Python type: exact match for built-in
// types (`exact`), instances of subclasses otherwise; None only when
// `none_ok`.  TypeError "Argument 'x' has incorrect type (expected list,
// got tuple)" on mismatch.
bool check_arg_type(PyObject* obj, PyTypeObject* type, bool none_ok, const char* arg_name,
                    bool exact);

}  // namespace gk
