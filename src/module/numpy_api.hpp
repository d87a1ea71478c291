// geokern module layer: numpy's C API table.
//
// One translation unit (module.cpp) defines GEOKERN_NUMPY_IMPORT and owns
// the API pointer that numpy's import routine fills; every other file sees
// it as an extern.
#pragma once

#include "module/python.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL geokern_ARRAY_API
#ifndef GEOKERN_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
