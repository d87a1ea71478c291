// geokern_tools._native: read_obj_mesh() (see obj_mesh_py.hpp).
#include "tools_native/obj_mesh_py.hpp"

#include "mesh/obj_mesh.hpp"
#include "module/interrupt.hpp"
#include "module/ref.hpp"
#include "tools_native/native_function.hpp"
#include "tools_native/owned_buffer.hpp"
#include "tools_native/whole_file.hpp"

#include <new>

namespace gk::tools {

namespace {

bool keep_going(void*) { return !signal_raised_unlocked(); }

// None for an empty vector, else an owned buffer over its items.
template <class Vector>
PyObject* optional_buffer(Vector& items) {
    return items.empty() ? Py_NewRef(Py_None) : owned_buffer(std::move(items));
}

PyObject* text_of(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* statements_of(const mesh::ObjMesh& mesh) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(mesh.statements.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const mesh::ObjStatement& s : mesh.statements) {
        PyObject* item = Py_BuildValue("(nnN)", static_cast<Py_ssize_t>(s.faces_before),
                                       static_cast<Py_ssize_t>(s.line), text_of(s.text));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i++, item);
    }
    return list.release();
}

bool utf16(std::string_view text) {
    return text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF");
}

// Reading stops at the first block with binary data (UTF-16 text aside).
bool binary_block(std::string_view data, std::size_t from) {
    return !utf16(data) && mesh::find_binary(data.substr(from)) < data.size() - from;
}

PyObject* read_obj_mesh(Call& call) {
    PyObject* source = call[0];
    mesh::WorkArray<char> file;
    std::string_view text;
    if (PyBytes_CheckExact(source)) {
        text = {PyBytes_AS_STRING(source), static_cast<std::size_t>(PyBytes_GET_SIZE(source))};
    } else if (PyLong_Check(source) && !PyBool_Check(source)) {
        const int fd = PyLong_AsInt(source);
        if (fd == -1 && PyErr_Occurred()) return call.fail();
        std::size_t size = 0;
        if (!read_whole(fd, file, size, binary_block)) return call.fail();
        text = {file.get(), size};
        // UTF-16 text goes back to be decoded; its UTF-8 comes again as bytes.
        if (utf16(text)) {
            return call.result(Py_BuildValue("(y#)", text.data(), static_cast<Py_ssize_t>(size)));
        }
    } else {
        PyErr_Format(PyExc_TypeError, "source must be bytes or a file descriptor, not %.200s",
                     Py_TYPE(source)->tp_name);
        return call.fail();
    }
    mesh::ObjMesh mesh;
    mesh::ObjFault fault;
    mesh::ObjScan scan = mesh::ObjScan::ok;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        scan = mesh::read_obj_mesh(text, mesh, fault, keep_going, nullptr);
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    file.release();
    if (no_memory) {
        PyErr_NoMemory();
        return call.fail();
    }
    if (scan == mesh::ObjScan::stopped) return call.fail();  // the handler's exception is set
    if (scan == mesh::ObjScan::fault) {
        return call.result(
            Py_BuildValue("(nN)", static_cast<Py_ssize_t>(fault.line), text_of(fault.message)));
    }
    PyRef vertices(owned_buffer(std::move(mesh.vertices)));
    PyRef texcoords(vertices ? owned_buffer(std::move(mesh.texcoords)) : nullptr);
    PyRef corners(texcoords ? owned_buffer(std::move(mesh.corner_vertices)) : nullptr);
    PyRef corner_texcoords(corners ? optional_buffer(mesh.corner_texcoords) : nullptr);
    PyRef sizes(corner_texcoords ? optional_buffer(mesh.face_sizes) : nullptr);
    PyRef statements(sizes ? statements_of(mesh) : nullptr);
    if (!statements) return call.fail();
    return call.result(Py_BuildValue("(OOiOOOnO)", vertices.get(), texcoords.get(),
                                     mesh.texcoord_width, corners.get(), corner_texcoords.get(),
                                     sizes.get(), static_cast<Py_ssize_t>(mesh.faces),
                                     statements.get()));
}

constexpr NativeFunction kReadObjMesh{FunctionSpec("read_obj_mesh", {"source"}, read_obj_mesh),
                                      "geokern_tools._native.read_obj_mesh"};

}  // namespace

PyMethodDef* obj_mesh_methods() {
    static PyMethodDef methods[] = {
        method_def<kReadObjMesh>(
            "read_obj_mesh($module, source)\n--\n\nThe vertices, texture coordinates, faces and "
            "named statements of the OBJ\ntext `source` (bytes, or a file descriptor read to its "
            "end); see\ngeokern_tools._obj."),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

}  // namespace gk::tools
