// geokern module layer: opening a module's implementation library.
//
// Each extension module is two libraries.  The one Python loads, the entry
// library, holds the entry point, the processor check and this loader (and,
// for geokern, the six exported core functions) and needs nothing beyond
// the C and C++ runtimes.  Everything else is in the implementation library,
// and so are the libraries that only it needs (the OpenMP runtime, SLEEF;
// the binary wheel carries copies of them): the entry point opens it once
// the processor has passed its check.  On a processor the build cannot use,
// the import thus fails with the check's ImportError before any of them is
// mapped or runs code.
#pragma once

#include "module/python.hpp"

namespace gk {

// Opens `library`, a path relative to the folder of the entry library that
// this code is linked into, and returns what its exported function
// `definition` returns: the module's PyModuleDef_Init.  On failure NULL with
// ImportError set, naming `module_name` and the dynamic loader's reason.
// The library stays open for the life of the process, as Python keeps its
// extension modules.
PyObject* load_implementation(const char* module_name, const char* library, const char* definition);

}  // namespace gk
