// geokern obb: the oriented bounding box of the footprint of an OBJ file
// (see obj_file_py.hpp).
//
// As Python code:
//   with open(obj_file, "r", encoding="utf-8") as f:
//       ... read every line (obj_reader.hpp) ...
//   if not indices: return None
//   selection = [vertices[i] for i in indices]     # list indexing
//   return generate_obb_2d_from_points_cython(np.array(selection, dtype=np.float64))
// The file is read through its descriptor and the vertex list stays
// native.  The selection follows the iteration order of the Python set of
// the references: known without building the set for ordinary files
// (set_order.hpp), otherwise taken from a set built as Python builds it.
#include "obb/obj_file_py.hpp"

#include "core/huge_pages.hpp"
#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/numpy_api.hpp"
#include "module/numpy_calls.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/view.hpp"
#include "obb/obb_py.hpp"
#include "obb/obj_reader.hpp"
#include "obb/set_order.hpp"

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>
#include <vector>

namespace gk {

namespace {

constexpr TraceEntry kTrace{"geokern.generate_obb_2d_from_obj_file_cython"};

// A reference too large for 64 bits, and how many references the reader
// had recorded before it.
struct LargeReference {
    size_t position;
    PyRef number;
};

// The reader's sink: Python's own float(), int() and UTF-8 decoder.
class PythonSink final : public obb::ObjSink {
public:
    PythonSink(const obb::ReferenceList& references, std::vector<LargeReference>& large)
        : references_(references), large_(large) {}

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
        } else {
            large_.push_back({references_.size(), std::move(reference)});
        }
        return true;
    }

    bool decode(std::string_view bytes, bool final, size_t& consumed) override {
        Py_ssize_t decoded = 0;
        PyRef text(PyUnicode_DecodeUTF8Stateful(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                                "strict", final ? nullptr : &decoded));
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

    bool keep_going() override {
        if (PyErr_CheckSignals() == 0) return true;
        keep_error();
        return false;
    }

    // Raises the error kept by decode() or keep_going().
    void raise_kept_error() { PyErr_SetRaisedException(kept_.release()); }

private:
    // Tokens are cut at ASCII blanks and slashes of well-formed text, so
    // they decode.
    static PyObject* decode_token(std::string_view token) {
        return PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), "strict");
    }
    void keep_error() { kept_ = PyRef(PyErr_GetRaisedException()); }

    const obb::ReferenceList& references_;
    std::vector<LargeReference>& large_;
    PyRef kept_;
};

// What the file holds: its footprint points and its face references, each
// once, in the order they first appear (those too large for 64 bits apart).
struct ObjContent {
    obb::FootprintList vertices;
    obb::ReferenceList references;
    std::vector<LargeReference> large;
};

// The body of the with-statement: reads the open file `file` to its end.
bool read_file(PyObject* file, ObjContent& content) {
    const int fd = PyObject_AsFileDescriptor(file);
    if (fd < 0) return false;
    PythonSink sink(content.references, content.large);
    obb::ReadOutcome outcome;
    try {
        outcome = obb::read_obj(fd, sink, content.vertices, content.references);
    } catch (...) {
        translate_current_exception();
        return false;
    }
    const Py_ssize_t count = static_cast<Py_ssize_t>(outcome.count);
    switch (outcome.status) {
    case obb::ReadStatus::ok: return true;
    case obb::ReadStatus::failed: return false;
    case obb::ReadStatus::deferred: sink.raise_kept_error(); return false;
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
    PyRef result(
        PyObject_CallFunctionObjArgs(exit, reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                                     error.get(), traceback ? traceback.get() : Py_None, nullptr));
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
bool read_obj_file(PyObject* obj_file, ObjContent& content) {
    static Name open_name("open");
    PyRef open(lookup_global(open_name));
    if (!open) return false;
    PyRef mode(PyUnicode_FromString("r"));
    PyRef encoding(PyUnicode_FromString("utf-8"));
    if (!mode || !encoding) return false;
    PyRef manager(
        call_function(open.get(), {obj_file, mode.get()}, {{"encoding", encoding.get()}}));
    if (!manager) return false;
    PyRef exit(PyObject_GetAttrString(manager.get(), "__exit__"));
    if (!exit) return false;
    PyRef file(PyObject_CallMethod(manager.get(), "__enter__", nullptr));
    if (!file) return false;
    return leave_context(exit.get(), read_file(file.get(), content));
}

// The index set as Python builds it: every reference added in the order
// of its first appearance.
PyObject* index_set(const ObjContent& content) {
    PyRef set(PySet_New(nullptr));
    if (!set) return nullptr;
    auto large = content.large.begin();
    for (size_t k = 0; k <= content.references.size(); ++k) {
        for (; large != content.large.end() && large->position == k; ++large) {
            if (PySet_Add(set.get(), large->number.get()) < 0) return nullptr;
        }
        if (k == content.references.size()) break;
        PyRef number(PyLong_FromLongLong(content.references[k]));
        if (!number || PySet_Add(set.get(), number.get()) < 0) return nullptr;
    }
    return set.release();
}

// The footprint points of the index set, in the set's iteration order, as
// an (M, 2) buffer of doubles; vertex list indexing as Python's list does
// it (negative indices count from the end).
class Selection {
public:
    using Buffer = std::vector<double, HugePageAllocator<double>>;

    explicit Selection(const obb::FootprintList& vertices) : vertices_(vertices) {}

    // Throws std::bad_alloc.
    void reserve(Py_ssize_t count) {
        data_.reserve(2 * static_cast<size_t>(count));
        capacity_ = count;
    }

    bool add(Py_ssize_t index) {
        const Py_ssize_t n = static_cast<Py_ssize_t>(vertices_.size());
        if (index < 0) index += n;
        if (index < 0 || index >= n) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return false;
        }
        if (count_ == capacity_) return true;
        data_.push_back(vertices_[static_cast<size_t>(index)].x);
        data_.push_back(vertices_[static_cast<size_t>(index)].y);
        ++count_;
        return true;
    }

    // np.array(<the points>, dtype=np.float64).  numpy is handed the (M, 2)
    // points as a read-only array over the buffer rather than as a list of
    // tuples, and makes the same array of it.  The buffer goes to a capsule
    // that the array keeps as its base, so it lives as long as anything
    // that numpy or a replaced np.array keeps of it.
    PyObject* to_array() {
        auto* owned = new Buffer(std::move(data_));
        PyRef base(PyCapsule_New(owned, nullptr, [](PyObject* capsule) {
            delete static_cast<Buffer*>(PyCapsule_GetPointer(capsule, nullptr));
        }));
        if (!base) {
            delete owned;
            return nullptr;
        }
        npy_intp dims[2] = {count_, 2};
        PyRef points(PyArray_New(&PyArray_Type, 2, dims, NPY_DOUBLE, nullptr, owned->data(), 0,
                                 NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
        if (!points || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(points.get()),
                                             base.release()) < 0) {
            return nullptr;
        }
        return np_call("array", {points.get()}, Dtype{"float64"});
    }

private:
    const obb::FootprintList& vertices_;
    Buffer data_;
    Py_ssize_t capacity_ = 0;
    Py_ssize_t count_ = 0;
};

// np.array([vertices[i] for i in indices], dtype=np.float64).
PyObject* selected_points(const ObjContent& content) {
    Selection selection(content.vertices);
    if (content.large.empty() && obb::iterates_ascending(content.references)) {
        selection.reserve(static_cast<Py_ssize_t>(content.references.size()));
        const bool added = obb::visit_ascending(content.references, [&](int64_t index) {
            return selection.add(static_cast<Py_ssize_t>(index));
        });
        return added ? selection.to_array() : nullptr;
    }
    PyRef indices(index_set(content));
    if (!indices) return nullptr;
    selection.reserve(PySet_GET_SIZE(indices.get()));
    PyRef iterator(PyObject_GetIter(indices.get()));
    if (!iterator) return nullptr;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        const Py_ssize_t index = PyNumber_AsSsize_t(item.get(), PyExc_IndexError);
        if (index == -1 && PyErr_Occurred()) return nullptr;
        if (!selection.add(index)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return selection.to_array();
}

}  // namespace

PyObject* generate_obb_2d_from_obj_file_cython(PyObject* obj_file) {
    // Native callers get the entry point's check too: open() would take an
    // int as a descriptor of theirs and close it.
    if (!check_arg_type(obj_file, &PyUnicode_Type, true, "obj_file", true)) {
        return kTrace.fail();
    }
    ObjContent content;
    if (!read_obj_file(obj_file, content)) return kTrace.fail();
    if (content.references.empty() && content.large.empty()) Py_RETURN_NONE;
    PyRef points(guard_cpp([&] { return selected_points(content); }));
    if (!points) return kTrace.fail();
    ArrayView view;
    if (!ArrayView::acquire(points.get(), kDouble2D, view)) return kTrace.fail();
    PyObject* result = generate_obb_2d_from_points_cython(view.slice());
    if (!result) return kTrace.fail();
    return result;
}

PyObject* generate_obb_2d_from_obj_file(Call& call) {
    if (!check_arg_type(call[0], &PyUnicode_Type, true, "obj_file", true)) return call.fail();
    PyObject* result = generate_obb_2d_from_obj_file_cython(call[0]);
    if (!result) return call.fail();
    return result;
}

}  // namespace gk
