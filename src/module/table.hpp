// geokern module layer: the table of module-level functions.
#pragma once

#include "module/function.hpp"

#include <span>

namespace gk {

// The module-level functions in the order the exec step creates them.
std::span<const FunctionSpec> function_table();

// The names of __all__ in their order; the exec step lists those that
// exist in the function table.
std::span<const char* const> public_names();

}  // namespace gk
