// geokern_tools._native: build_info(), how the native code was built.
#pragma once

#include "module/python.hpp"

namespace gk::tools {

// The method-table row of build_info, ended by an empty row.
PyMethodDef* build_info_methods();

}  // namespace gk::tools
