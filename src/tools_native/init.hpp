// geokern_tools._native: the module definition behind the entry point.
#pragma once

#include "module/python.hpp"

namespace gk::tools {

// PyModuleDef_Init of the helper's definition (module.cpp); called by
// PyInit__native once the processor has passed its check (init.cpp).
PyObject* module_definition();

}  // namespace gk::tools
