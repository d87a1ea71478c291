// geokern module layer: the one way every file includes the CPython API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
