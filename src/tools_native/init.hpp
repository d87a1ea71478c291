// geokern_tools._native: the module definition behind the entry point.
#pragma once

#include "module/python.hpp"

// The one function the helper's implementation library exports:
// PyModuleDef_Init of its definition (module.cpp).  PyInit__native
// (init.cpp, in the entry library) looks it up by this name once the
// processor has passed its check (module/implementation.hpp).
extern "C" __attribute__((visibility("default"))) PyObject* geokern_native_definition(void);
