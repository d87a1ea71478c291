// geokern module layer: the processor check of the libraries' entry points.
#pragma once

#include "module/python.hpp"

namespace gk {

// True when this processor (and the operating system) supports what the
// build needs (x86-64-v3); else false with ImportError set, naming
// `module_name` and the missing instructions.  Compiled for baseline
// x86-64: safe to call before any other code of the library.
bool processor_supported(const char* module_name);

}  // namespace gk
