// geokern_tools._native: read_obj_mesh(), the OBJ reader of geokern_tools.
//
// read_obj_mesh(source) reads an OBJ text as mesh/obj_mesh.hpp describes,
// with the interpreter lock released (Ctrl-C stops it with
// KeyboardInterrupt): `source` is exactly bytes (immutable while the lock
// is released), or a file descriptor, read from its position to its end
// (whole_file.hpp; reading stops early at binary data).  Text read from a
// descriptor that starts with a UTF-16 byte-order mark comes back as the
// 1-tuple (bytes,), for the caller to decode and pass again as UTF-8.
// Otherwise it returns
//   (vertices, texcoords, texcoord_width, corner_vertices, corner_texcoords,
//    face_sizes, faces, statements)
// where the arrays are writable buffer objects (owned_buffer.hpp) for
// numpy.frombuffer: vertices of float64 (x, y, z) triples, texcoords of
// float64 (u, v, w) triples, texcoord_width the most values a vt line gave;
// corner_vertices of the zero-based uint32 vertex of every face corner,
// face after face; corner_texcoords the same for texture vertices
// (0xFFFFFFFF where a corner names none), or None when no corner names
// one; face_sizes of the uint32 corner count of each face, or None when
// every face is a triangle; faces the number of faces;
// statements a list of (faces before it, line, text) for the mtllib,
// usemtl, o, g and s lines (text decoded as UTF-8, undecodable bytes
// replaced).  A fault of the text gives the 2-tuple (line, message)
// instead.  OSError for a read error; TypeError for another `source`.
#pragma once

#include "module/python.hpp"

namespace gk::tools {

// The method-table row of read_obj_mesh, ended by an empty row.
PyMethodDef* obj_mesh_methods();

}  // namespace gk::tools
