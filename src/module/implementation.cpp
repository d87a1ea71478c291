// geokern module layer: opening a module's implementation library (see
// implementation.hpp).
//
// The implementation is found beside the entry library by path, never
// through the loader's search path, so that LD_LIBRARY_PATH or another
// installation cannot put a different build behind this entry point.  It is
// opened with RTLD_LOCAL: its symbols serve only the entry point.
#include "module/implementation.hpp"

#include <dlfcn.h>
#include <limits.h>

#include <cstdio>
#include <cstring>

namespace gk {

PyObject* load_implementation(const char* module_name, const char* library,
                              const char* definition) {
    // The file this function was loaded from: the entry library.
    Dl_info self{};
    if (!dladdr(reinterpret_cast<void*>(&load_implementation), &self) || !self.dli_fname) {
        PyErr_Format(PyExc_ImportError, "%s: cannot locate its own library file", module_name);
        return nullptr;
    }
    // The entry library's folder (none: the current one), then `library`.
    const char* slash = std::strrchr(self.dli_fname, '/');
    const int folder = slash ? static_cast<int>(slash - self.dli_fname + 1) : 0;
    char path[PATH_MAX];
    const int length = std::snprintf(path, sizeof path, "%.*s%s", folder, self.dli_fname, library);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        PyErr_Format(PyExc_ImportError, "%s: the path of its implementation is too long",
                     module_name);
        return nullptr;
    }

    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        PyErr_Format(PyExc_ImportError, "%s: cannot load its implementation: %s", module_name,
                     dlerror());
        return nullptr;
    }
    void* symbol = dlsym(handle, definition);
    if (!symbol) {
        PyErr_Format(PyExc_ImportError, "%s: %s lacks %s", module_name, path, definition);
        dlclose(handle);
        return nullptr;
    }
    return reinterpret_cast<PyObject* (*)()>(symbol)();
}

}  // namespace gk
