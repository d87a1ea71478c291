// geokern module layer: the table of module-level functions.
#pragma once

#include "module/function.hpp"

#include <span>

namespace gk {

// The module-level functions in the order the exec step creates them.
std::span<const FunctionSpec> function_table();

// The names of __all__, in its order.
std::span<const char* const> all_names();

// Every published native function, in the order __pyx_capi__ receives them.
std::span<const CapsuleSpec> published_capsules();

}  // namespace gk
