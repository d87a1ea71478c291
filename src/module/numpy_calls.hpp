// geokern module layer: calling numpy at the Python level.
//
// Module-level code reaches numpy through the module attribute `np`, looked
// up at every use (so rebinding `np` changes later calls, and removing it
// gives NameError).  These helpers do the same from native code:
//   np_call("linalg.eig", {cov})                  -> np.linalg.eig(cov)
//   np_call("min", {a}, {{"axis", zero}})          -> np.min(a, axis=0)
//   np_call("arange", {n}, Dtype{"uint32"})        -> np.arange(n, dtype=np.uint32)
#pragma once

#include "module/python.hpp"

#include <initializer_list>
#include <utility>

namespace gk {

// A keyword argument: name and (borrowed) value.
using Keyword = std::pair<const char*, PyObject*>;

// np.<dotted_name>, e.g. "linalg.inv": `np` is looked up now, then each
// attribute in turn.  New reference, or nullptr with the exception set.
PyObject* np_attr(const char* dotted_name);

// callable(*args, **kwargs) with borrowed arguments.  New reference, or
// nullptr with the exception set.
PyObject* call_function(PyObject* callable, std::initializer_list<PyObject*> args,
                        std::initializer_list<Keyword> kwargs = {});

// np.<dotted_name>(*args, **kwargs).
PyObject* np_call(const char* dotted_name, std::initializer_list<PyObject*> args,
                  std::initializer_list<Keyword> kwargs = {});

// The keyword dtype=np.<name>.
struct Dtype {
    const char* name;
};

// np.<dotted_name>(*args, dtype=np.<dtype.name>): the function is looked
// up first, then the dtype.
PyObject* np_call(const char* dotted_name, std::initializer_list<PyObject*> args, Dtype dtype);

}  // namespace gk
