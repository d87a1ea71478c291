// geokern module layer: the table of module-level functions.
#pragma once

#include "module/function.hpp"

#include <span>

namespace gk {

// The module-level functions in the order the exec step creates them.
std::span<const FunctionSpec> function_table();

// The published native functions that no module-level function wraps.
std::span<const CapsuleSpec> capsules_only();

}  // namespace gk
