// geokern module layer: process-wide module state and global-name lookup.
//
// The module keeps its state per process, not per module object: it can
// be loaded into one interpreter only, is created once and never
// re-initialised (see module.cpp).
#pragma once

#include "module/python.hpp"

#include <cstdint>

namespace gk {

struct ModuleState {
    int64_t interpreter_id = -1;  // interpreter that first created the module
    PyObject* module = nullptr;   // recorded by the exec step (strong)
    PyObject* dict = nullptr;     // the module's namespace (borrowed from module)
    PyObject* builtins = nullptr; // the builtins module (strong)
    // What the exec step bound to `radians`, `degrees` and `np` (strong):
    // while a name still holds its original, code may compute natively
    // what calling it would give.
    PyObject* math_radians = nullptr;
    PyObject* math_degrees = nullptr;
    PyObject* numpy = nullptr;
};

ModuleState& state();

// An interned name made on first use and kept for the life of the process.
class Name {
public:
    explicit constexpr Name(const char* text) : text_(text) {}
    // Borrowed; nullptr with an exception set if the string cannot be made.
    PyObject* get();

private:
    const char* text_;
    PyObject* object_ = nullptr;
};

// Looks a name up as module-level code does at every use: the module
// namespace, then the builtins; NameError "name '...' is not defined"
// otherwise.  New reference, or nullptr with an exception set.
PyObject* lookup_global(Name& name);

}  // namespace gk
