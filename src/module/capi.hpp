// geokern module layer: the native functions published in __pyx_capi__.
//
// Each entry is a capsule holding the function's address, named by its C
// signature text (capsule.hpp), so another extension module can fetch the
// pointer and check the signature.  The entries are the table's
// (table.cpp), in their publication order.  Array views travel by value as ArrayViewSlice,
// whose structure name in the signature texts is __Pyx_memviewslice.
// A slice passed in is borrowed: the callee reads it and takes no
// acquisition of its own.
#pragma once

#include "module/python.hpp"

namespace gk {

// Inserts the capsules, in publication order, into the dict `capi`.
int fill_capi(PyObject* capi);

}  // namespace gk
