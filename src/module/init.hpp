// geokern module layer: the module definition behind the entry point.
#pragma once

#include "module/python.hpp"

namespace gk {

// PyModuleDef_Init of the module's definition (module.cpp); called by
// PyInit_geokern once the processor has passed its check (init.cpp).
PyObject* module_definition();

}  // namespace gk
