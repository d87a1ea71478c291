// geokern module layer: the module definition behind the entry point.
#pragma once

#include "module/python.hpp"

// The one function the implementation library exports: PyModuleDef_Init of
// the module's definition (module.cpp).  PyInit_geokern (init.cpp, in the
// entry library) looks it up by this name once the processor has passed its
// check (module/implementation.hpp).
extern "C" __attribute__((visibility("default"))) PyObject* geokern_module_definition(void);
