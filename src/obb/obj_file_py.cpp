// geokern obb: the oriented bounding box of the footprint of an OBJ file
// (see obj_file_py.hpp).
//
// As Python code:
//   with open(obj_file, "r", encoding="utf-8") as f:
//       ... read every line (obj_reader.hpp) ...
//   if not indices: return None
//   selection = [vertices[i] for i in indices]     # list indexing
//   return generate_obb_2d_from_points_cython(np.array(selection, dtype=np.float64))
// The file is read through its descriptor; the vertex list stays native,
// and the index set is a real Python set, filled in file order, so that
// its iteration order (the order of the selection) is Python's.
#include "obb/obj_file_py.hpp"

#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/numpy_calls.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/view.hpp"
#include "obb/obb_py.hpp"
#include "obb/obj_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>
#include <string_view>
#include <vector>

namespace gk {

namespace {

constexpr const char* kTrace = "geokern.generate_obb_2d_from_obj_file_cython";

// The reader's sink: Python's own float(), int() and UTF-8 decoder, and
// the index set.
class PythonSink final : public obb::ObjSink {
public:
    explicit PythonSink(PyObject* indices) : indices_(indices) {}

    bool convert_float(std::string_view token, double& value) override {
        PyRef text(decode_token(token));
        if (!text) return false;
        PyRef number(PyFloat_FromString(text.get()));
        if (!number) return false;
        value = PyFloat_AS_DOUBLE(number.get());
        return true;
    }

    bool convert_index(std::string_view token, bool& fits, int64_t& index) override {
        PyRef text(decode_token(token));
        if (!text) return false;
        PyRef number(PyLong_FromUnicodeObject(text.get(), 10));
        if (!number) return false;
        PyRef one(PyLong_FromLong(1));
        if (!one) return false;
        PyRef reference(PyNumber_Subtract(number.get(), one.get()));
        if (!reference) return false;
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(reference.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        fits = overflow == 0;
        if (fits) {
            index = value;
            return true;
        }
        return PySet_Add(indices_, reference.get()) == 0;
    }

    bool add_index(int64_t index) override {
        PyRef value(PyLong_FromLongLong(index));
        return value && PySet_Add(indices_, value.get()) == 0;
    }

    bool decode(std::string_view bytes, bool final, size_t& consumed) override {
        Py_ssize_t decoded = 0;
        PyRef text(PyUnicode_DecodeUTF8Stateful(bytes.data(),
                                                static_cast<Py_ssize_t>(bytes.size()), "strict",
                                                final ? nullptr : &decoded));
        if (!text) {
            keep_error();
            return false;
        }
        consumed = final ? bytes.size() : static_cast<size_t>(decoded);
        return true;
    }

    ssize_t read_some(int fd, char* into, size_t size) override {
        ssize_t got;
        int error;
        Py_BEGIN_ALLOW_THREADS
        got = ::read(fd, into, size);
        error = errno;
        Py_END_ALLOW_THREADS
        errno = error;
        return got;
    }

    bool interrupted() override {
        if (PyErr_CheckSignals() == 0) return true;
        keep_error();
        return false;
    }

    // Raises the error kept by decode() or interrupted().
    void raise_kept_error() { PyErr_SetRaisedException(kept_.release()); }

private:
    // Tokens are cut at ASCII blanks and slashes of well-formed text, so
    // they decode.
    static PyObject* decode_token(std::string_view token) {
        return PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()),
                                    "strict");
    }
    void keep_error() { kept_ = PyRef(PyErr_GetRaisedException()); }

    PyObject* indices_;
    PyRef kept_;
};

// The body of the with-statement: reads the open file `file` to its end.
bool read_file(PyObject* file, PyObject* indices, std::vector<obb::Footprint>& vertices) {
    const int fd = PyObject_AsFileDescriptor(file);
    if (fd < 0) return false;
    PythonSink sink(indices);
    obb::ReadOutcome outcome;
    try {
        outcome = obb::read_obj(fd, sink, vertices);
    } catch (...) {
        translate_current_exception();
        return false;
    }
    const Py_ssize_t count = static_cast<Py_ssize_t>(outcome.count);
    switch (outcome.status) {
    case obb::ReadStatus::ok:
        return true;
    case obb::ReadStatus::failed:
        return false;
    case obb::ReadStatus::deferred:
        sink.raise_kept_error();
        return false;
    case obb::ReadStatus::too_many_values:
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
        return false;
    case obb::ReadStatus::need_more_values:
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count,
                     count == 1 ? "" : "s");
        return false;
    case obb::ReadStatus::read_error:
        errno = outcome.error;
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    return false;
}

// Makes `raised` (the current exception) carry `context` as __context__,
// as an exception raised while another is handled does.
void chain_to(PyRef context) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised != context.get()) PyException_SetContext(raised, context.release());
    PyErr_SetRaisedException(raised);
}

// Leaves the with-statement through `exit`: exit(None, None, None) after
// the body succeeded, exit(type, value, traceback) of the current exception
// otherwise, whose true result suppresses the exception.  Returns true
// when the code after the with-statement runs.
bool leave_context(PyObject* exit, bool body_succeeded) {
    if (body_succeeded) {
        PyRef result(PyObject_CallFunctionObjArgs(exit, Py_None, Py_None, Py_None, nullptr));
        return static_cast<bool>(result);
    }
    PyRef error(PyErr_GetRaisedException());
    PyRef traceback(PyException_GetTraceback(error.get()));
    PyRef result(PyObject_CallFunctionObjArgs(exit, reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                                              error.get(),
                                              traceback ? traceback.get() : Py_None, nullptr));
    const int suppress = result ? PyObject_IsTrue(result.get()) : -1;
    if (suppress < 0) {
        chain_to(std::move(error));
        return false;
    }
    if (suppress) return true;
    PyErr_SetRaisedException(error.release());
    return false;
}

// with open(obj_file, "r", encoding="utf-8") as f: <read f>
bool read_obj_file(PyObject* obj_file, PyObject* indices, std::vector<obb::Footprint>& vertices) {
    static Name open_name("open");
    PyRef open(lookup_global(open_name));
    if (!open) return false;
    PyRef mode(PyUnicode_FromString("r"));
    PyRef encoding(PyUnicode_FromString("utf-8"));
    if (!mode || !encoding) return false;
    PyRef manager(call_function(open.get(), {obj_file, mode.get()}, {{"encoding", encoding.get()}}));
    if (!manager) return false;
    PyRef exit(PyObject_GetAttrString(manager.get(), "__exit__"));
    if (!exit) return false;
    PyRef file(PyObject_CallMethod(manager.get(), "__enter__", nullptr));
    if (!file) return false;
    return leave_context(exit.get(), read_file(file.get(), indices, vertices));
}

// np.array([vertices[i] for i in indices], dtype=np.float64), with the
// errors of Python list indexing.  The selection is handed to numpy as an
// (M, 2) buffer of doubles rather than a list of tuples; numpy makes the
// same array of it.
PyObject* selected_points(PyObject* indices, const std::vector<obb::Footprint>& vertices) {
    const Py_ssize_t m = PySet_GET_SIZE(indices);
    const Py_ssize_t n = static_cast<Py_ssize_t>(vertices.size());
    PyRef data(PyBytes_FromStringAndSize(nullptr, m * 2 * static_cast<Py_ssize_t>(sizeof(double))));
    if (!data) return nullptr;
    double* out = reinterpret_cast<double*>(PyBytes_AS_STRING(data.get()));
    PyRef iterator(PyObject_GetIter(indices));
    if (!iterator) return nullptr;
    Py_ssize_t k = 0;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        Py_ssize_t i = PyNumber_AsSsize_t(item.get(), PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += n;
        if (i < 0 || i >= n) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return nullptr;
        }
        if (k == m) break;
        out[2 * k] = vertices[static_cast<size_t>(i)].x;
        out[2 * k + 1] = vertices[static_cast<size_t>(i)].y;
        ++k;
    }
    if (PyErr_Occurred()) return nullptr;
    PyRef buffer(PyMemoryView_FromObject(data.get()));
    if (!buffer) return nullptr;
    PyRef shaped(PyObject_CallMethod(buffer.get(), "cast", "s(nn)", "d", k, Py_ssize_t{2}));
    if (!shaped) return nullptr;
    PyRef array(np_attr("array"));
    if (!array) return nullptr;
    PyRef float64(np_attr("float64"));
    if (!float64) return nullptr;
    return call_function(array.get(), {shaped.get()}, {{"dtype", float64.get()}});
}

}  // namespace

PyObject* generate_obb_2d_from_obj_file_cython(PyObject* obj_file) {
    // Native callers get the entry point's check too: open() would take an
    // int as a descriptor of theirs and close it.
    if (!check_arg_type(obj_file, &PyUnicode_Type, true, "obj_file", true)) {
        return GK_TRACE(kTrace);
    }
    PyRef indices(PySet_New(nullptr));
    if (!indices) return GK_TRACE(kTrace);
    std::vector<obb::Footprint> vertices;
    if (!read_obj_file(obj_file, indices.get(), vertices)) return GK_TRACE(kTrace);
    if (PySet_GET_SIZE(indices.get()) == 0) Py_RETURN_NONE;
    PyRef points(selected_points(indices.get(), vertices));
    if (!points) return GK_TRACE(kTrace);
    ArrayView view;
    if (!ArrayView::acquire(points.get(), kDouble2D, view)) return GK_TRACE(kTrace);
    PyObject* result = generate_obb_2d_from_points_cython(view.slice());
    if (!result) return GK_TRACE(kTrace);
    return result;
}

PyObject* generate_obb_2d_from_obj_file(Call& call) {
    if (!check_arg_type(call[0], &PyUnicode_Type, true, "obj_file", true)) return GK_FAIL(call);
    PyObject* result = generate_obb_2d_from_obj_file_cython(call[0]);
    if (!result) return GK_FAIL(call);
    return result;
}

}  // namespace gk
