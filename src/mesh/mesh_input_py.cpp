// geokern mesh: checks and results shared by the mesh functions (see
// mesh_input_py.hpp).
#include "mesh/mesh_input_py.hpp"

#include "mesh/index_range.hpp"
#include "module/result_array.hpp"

namespace gk {

bool check_positions(const ArrayView& pos, Py_ssize_t num_tris) {
    if (num_tris <= 0) return true;
    if (pos.is_none()) {
        PyErr_Format(PyExc_ValueError, "pos is None but indices holds %zd triangle%s", num_tris,
                     num_tris == 1 ? "" : "s");
        return false;
    }
    return pos.require_columns(3, "pos");
}

void raise_index_out_of_range(uint32_t index, uint64_t limit, const char* format) {
    PyErr_Format(PyExc_IndexError, format, static_cast<unsigned>(index),
                 static_cast<unsigned long long>(limit));
}

bool check_indices(StridedItems<const uint32_t> indices, Py_ssize_t n, uint64_t limit,
                   const char* format) {
    const std::ptrdiff_t bad = mesh::first_index_at_or_above(indices, n, limit);
    if (bad < 0) return true;
    raise_index_out_of_range(indices[bad], limit, format);
    return false;
}

PyObject* empty_mesh() {
    PyRef parts[4];
    for (int i = 0; i < 4; ++i) {
        parts[i] = PyRef(i < 2 ? new_array("zeros", {0, 3}, "float32")
                               : new_array("zeros", {0}, "uint32"));
        if (!parts[i]) return nullptr;
    }
    return mesh_tuple(parts);
}

PyObject* mesh_tuple(PyRef (&parts)[4]) {
    for (const PyRef& part : parts) {
        if (!part) return nullptr;
    }
    PyObject* tuple = PyTuple_New(4);
    if (!tuple) return nullptr;
    for (int i = 0; i < 4; ++i) PyTuple_SET_ITEM(tuple, i, parts[i].release());
    return tuple;
}

}  // namespace gk
