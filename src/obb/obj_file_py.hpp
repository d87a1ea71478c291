// geokern obb: the oriented bounding box of the footprint of an OBJ file.
//
// The model is Y-up: vertex (x, y, z) has the footprint point (x, -z).
// Only the vertices that faces name as their first three corners count,
// each once.  The file is read natively (obj_reader.hpp) with exactly the
// values and errors of reading it line by line through Python's text
// layer, and it is closed on every way out.
#pragma once

#include "module/function.hpp"

namespace gk {

// generate_obb_2d_from_obj_file(obj_file): obj_file is exactly a str (the
// path) or None.  Returns the WKT polygon of generate_obb_2d_from_points
// for the used footprint points, or None when the file has no face line.
PyObject* generate_obb_2d_from_obj_file(Call& call);

// Native export: the same for the path object `obj_file`.  New reference,
// or nullptr with the exception set.
PyObject* generate_obb_2d_from_obj_file_cython(PyObject* obj_file);

}  // namespace gk
