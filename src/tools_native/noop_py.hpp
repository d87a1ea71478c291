// geokern_tools._native: empty functions of geokern's own function type.
//
// _noop2(lon, lat) and _noop3(x, y, z) match their arguments exactly as
// geokern's two- and three-argument functions do (module/function.hpp,
// module/args.hpp) and return None without reading them.  Their call cost
// is the floor under every scalar entry point of geokern: the interpreter's
// call, the function object's vectorcall and the argument matching, with
// no float conversion and no result to build.  The benchmarks report each
// scalar entry point as a multiple of the no-op with its argument count.
#pragma once

#include "module/python.hpp"

namespace gk::tools {

// Adds _noop2 and _noop3 to `module`; 0, or -1 with an exception set.
int add_noop_functions(PyObject* module);

}  // namespace gk::tools
