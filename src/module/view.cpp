// geokern module layer: typed array views (see view.hpp).
#include "module/view.hpp"

#include "core/huge_pages.hpp"
#include "module/errors.hpp"
#include "module/numpy_calls.hpp"
#include "module/ref.hpp"
#include "module/state.hpp"
#include "module/values.hpp"

#include <cstdio>
#include <utility>

namespace gk {

namespace {

// ============================================================================
// The view object: owns one buffer acquisition from the exporter and
// exports the same buffer again, so that numpy.asarray(view) works.  A view
// of a read-only kind exports read-only memory.
// ============================================================================

struct ViewObject {
    PyObject_HEAD
    Py_buffer buffer;
    int acquisitions;        // slices holding this view; atomic access only
    const ViewKind* kind;    // what the buffer was accepted as
    bool readonly;
    // A view made from a slice (slice_object) describes memory that `owner`
    // keeps alive; its buffer then holds no acquisition of its own and its
    // shape, strides and format live here.
    PyObject* owner;
    Py_ssize_t dims[2 * kMaxDims];
    char format[2];
};

PyTypeObject* view_type = nullptr;

ViewObject* as_view(PyObject* self) { return reinterpret_cast<ViewObject*>(self); }

void view_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyBuffer_Release(&as_view(self)->buffer);
    Py_XDECREF(as_view(self)->owner);
    type->tp_free(self);
    Py_DECREF(type);
}

int view_getbuffer(PyObject* self, Py_buffer* out, int flags) {
    ViewObject* v = as_view(self);
    const Py_buffer& b = v->buffer;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && v->readonly) {
        PyErr_SetString(PyExc_BufferError, "view is read-only");
        out->obj = nullptr;
        return -1;
    }
    if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES && !PyBuffer_IsContiguous(&b, 'C')) {
        PyErr_SetString(PyExc_BufferError, "view is not C-contiguous");
        out->obj = nullptr;
        return -1;
    }
    *out = b;
    out->obj = Py_NewRef(self);
    out->readonly = v->readonly;
    out->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? b.format : nullptr;
    out->shape = (flags & PyBUF_ND) == PyBUF_ND ? b.shape : nullptr;
    out->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b.strides : nullptr;
    out->suboffsets = nullptr;
    out->internal = nullptr;
    return 0;
}

PyObject* view_repr(PyObject* self) {
    PyObject* base = as_view(self)->owner ? as_view(self)->owner : as_view(self)->buffer.obj;
    return PyUnicode_FromFormat("<geokern view of %s of '%s'>", as_view(self)->kind->type_name,
                                base ? Py_TYPE(base)->tp_name : "nothing");
}

PyType_Slot view_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
    {0, nullptr},
};

PyType_Spec view_spec = {
    "geokern.array_view",
    sizeof(ViewObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    view_slots,
};

// ============================================================================
// Buffer format checks
// ============================================================================

// The code tables below keep several case labels to a line.
// clang-format off

// Size of one element of struct code `c` in native ('@', '^') or standard
// ('=', '<') mode; 0 when `c` is not an element code.
Py_ssize_t code_size(char c, bool native) {
    switch (c) {
    case 'c': case 'b': case 'B': case '?': case 's': case 'p': case 'x': return 1;
    case 'h': case 'H': return 2;
    case 'i': case 'I': return 4;
    case 'l': case 'L': return native ? static_cast<Py_ssize_t>(sizeof(long)) : 4;
    case 'q': case 'Q': return 8;
    case 'f': return 4;
    case 'd': return 8;
    case 'g': return static_cast<Py_ssize_t>(sizeof(long double));
    case 'O': case 'P': return static_cast<Py_ssize_t>(sizeof(void*));
    default: return 0;
    }
}

// Element kind of a code: 'R' floating, 'C' complex, 'I' signed and 'U'
// unsigned integer, 'H' character, 'O' object, 'P' pointer, 'S' string.
char code_group(char c, bool complex) {
    switch (c) {
    case 'f': case 'd': case 'g': return complex ? 'C' : 'R';
    case 'b': case 'h': case 'i': case 'l': case 'q': return 'I';
    case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
    case 'c': return 'H';
    case 'O': return 'O';
    case 'P': return 'P';
    default: return 'S';
    }
}

const char* describe(char c, bool complex) {
    switch (c) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'f': return complex ? "'complex float'" : "'float'";
    case 'd': return complex ? "'complex double'" : "'double'";
    case 'g': return complex ? "'complex long double'" : "'long double'";
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's': case 'p': return "a string";
    case 0: return "end";
    default: return "unparsable format string";
    }
}

// clang-format on

bool raise_mismatch(const ViewKind& kind, const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                 kind.type_name, "'", got);
    return false;
}

// True when `format` describes exactly one element of `kind`.
bool check_format(const char* format, const ViewKind& kind) {
    const char* p = format ? format : "B";
    bool native = true;
    for (;; ++p) {
        if (*p == '@' || *p == '^') {
            native = true;
        } else if (*p == '=' || *p == '<') {
            native = false;
        } else if (*p == '>' || *p == '!') {
            PyErr_SetString(PyExc_ValueError,
                            "Big-endian buffer not supported on little-endian compiler");
            return false;
        } else {
            break;
        }
    }
    long count = -1;
    while (*p >= '0' && *p <= '9') {
        count = (count < 0 ? 0 : count * 10) + (*p - '0');
        if (count > 1000000) break;
        ++p;
    }
    const bool complex = *p == 'Z';
    if (complex) ++p;
    const char c = *p;
    if (c == 0 || c == 'T') return raise_mismatch(kind, describe(c, false));
    const Py_ssize_t size = code_size(c, native);
    if (size == 0) {
        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
        return false;
    }
    if (code_group(c, complex) != kind.group || size * (complex ? 2 : 1) != kind.itemsize ||
        (count >= 0 && count != 1)) {
        return raise_mismatch(kind, describe(c, complex));
    }
    if (p[1] != 0) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                     "end", "", describe(p[1] == 'Z' ? p[2] : p[1], p[1] == 'Z'));
        return false;
    }
    return true;
}

bool check_buffer(const Py_buffer& b, const ViewKind& kind) {
    if (b.ndim != kind.ndim) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", kind.ndim,
                     b.ndim);
        return false;
    }
    if (!check_format(b.format, kind)) return false;
    if (b.itemsize != kind.itemsize) {
        PyErr_Format(PyExc_ValueError,
                     "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<size_t>(b.itemsize), b.itemsize == 1 ? "" : "s", kind.type_name,
                     static_cast<size_t>(kind.itemsize), kind.itemsize == 1 ? "" : "s");
        return false;
    }
    for (int d = 0; d < b.ndim; ++d) {
        if (b.suboffsets && b.suboffsets[d] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", d);
            return false;
        }
    }
    return true;
}

// Runs `f` holding the interpreter lock, taking it if this thread lacks it.
template <class F>
void with_gil(F&& f) {
    if (PyGILState_Check()) {
        f();
    } else {
        PyGILState_STATE gil = PyGILState_Ensure();
        f();
        PyGILState_Release(gil);
    }
}

// A new view object with no buffer yet; `owner` (may be nullptr) is kept
// alive by it.
ViewObject* new_view(const ViewKind& kind, PyObject* owner) {
    ViewObject* v = PyObject_New(ViewObject, view_type);
    if (!v) return nullptr;
    v->buffer = Py_buffer{};
    v->acquisitions = 0;
    v->kind = &kind;
    v->readonly = true;
    v->owner = Py_XNewRef(owner);
    return v;
}

ArrayViewSlice empty_slice() {
    ArrayViewSlice s{};
    s.memview = Py_None;
    for (Py_ssize_t& o : s.suboffsets) o = -1;
    return s;
}

// The slice of a checked view (no acquisition yet).
ArrayViewSlice slice_of(ViewObject* v) {
    ArrayViewSlice s = empty_slice();
    const Py_buffer& b = v->buffer;
    s.memview = reinterpret_cast<PyObject*>(v);
    s.data = static_cast<char*>(b.buf);
    Py_ssize_t stride = b.itemsize;
    for (int d = b.ndim - 1; d >= 0; --d) {
        s.shape[d] = b.shape[d];
        s.strides[d] = b.strides ? b.strides[d] : stride;
        stride *= b.shape[d];
    }
    return s;
}

}  // namespace

// ============================================================================
// ArrayView
// ============================================================================

ArrayView::ArrayView() : slice_(empty_slice()) {}

ArrayView::ArrayView(const ArrayView& other) : slice_(other.slice_) { add_acquisition(); }

ArrayView::ArrayView(ArrayView&& other) noexcept : slice_(other.slice_) {
    other.slice_ = empty_slice();
}

ArrayView& ArrayView::operator=(ArrayView other) noexcept {
    std::swap(slice_, other.slice_);
    return *this;
}

ArrayView::~ArrayView() { drop_acquisition(); }

void ArrayView::add_acquisition() {
    if (is_none()) return;
    std::atomic_ref<int> count(as_view(slice_.memview)->acquisitions);
    if (count.fetch_add(1) == 0) with_gil([this] { Py_INCREF(slice_.memview); });
}

void ArrayView::drop_acquisition() {
    if (is_none()) return;
    std::atomic_ref<int> count(as_view(slice_.memview)->acquisitions);
    const int old = count.fetch_sub(1);
    if (old == 1) {
        with_gil([this] { Py_DECREF(slice_.memview); });
    } else if (old < 1) {
        char message[80];
        std::snprintf(message, sizeof message, "Acquisition count is %d (line %d)", old - 1,
                      line_here());
        Py_FatalError(message);
    }
    slice_ = empty_slice();
}

bool ArrayView::acquire(PyObject* obj, const ViewKind& kind, ArrayView& out) {
    if (obj == Py_None) {
        out = ArrayView();
        return true;
    }
    ViewObject* v = new_view(kind, nullptr);
    if (!v) return false;
    const int flags = kind.writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
    if (PyObject_GetBuffer(obj, &v->buffer, flags) < 0) {
        v->buffer.obj = nullptr;
        Py_DECREF(v);
        return false;
    }
    v->readonly = v->buffer.readonly || !kind.writable;
    PyRef owner(reinterpret_cast<PyObject*>(v));
    if (!check_buffer(v->buffer, kind)) return false;
    ArrayView view;
    view.slice_ = slice_of(v);
    view.add_acquisition();
    out = std::move(view);
    return true;
}

bool require_columns(const ArrayViewSlice& slice, Py_ssize_t columns, const char* what) {
    if (slice.memview == Py_None || slice.shape[1] >= columns) return true;
    PyErr_Format(PyExc_ValueError, "%s must have at least %zd columns, got %zd", what, columns,
                 slice.shape[1]);
    return false;
}

void ArrayView::export_read_only() {
    if (!is_none()) as_view(slice_.memview)->readonly = true;
}

PyObject* slice_object(const ArrayViewSlice& slice, const ViewKind& kind) {
    if (slice.memview == Py_None) return Py_NewRef(Py_None);
    ViewObject* v = new_view(kind, slice.memview);
    if (!v) return nullptr;
    v->readonly = true;
    v->format[0] = kind.format;
    v->format[1] = 0;
    Py_buffer& b = v->buffer;
    b.buf = slice.data;
    b.itemsize = kind.itemsize;
    b.ndim = kind.ndim;
    b.readonly = 1;
    b.format = v->format;
    b.shape = v->dims;
    b.strides = v->dims + kMaxDims;
    b.len = kind.itemsize;
    for (int d = 0; d < kind.ndim; ++d) {
        b.shape[d] = slice.shape[d];
        b.strides[d] = slice.strides[d];
        b.len *= slice.shape[d];
    }
    return reinterpret_cast<PyObject*>(v);
}

// ============================================================================
// Result arrays
// ============================================================================

PyObject* numpy_call(const char* function, PyObject* arg, const char* dtype) {
    PyRef callable(np_attr(function));
    if (!callable) return nullptr;
    PyRef dtype_object(np_attr(dtype));
    if (!dtype_object) return nullptr;
    return call_function(callable.get(), {arg}, {{"dtype", dtype_object.get()}});
}

PyObject* new_array(const char* constructor, std::initializer_list<Py_ssize_t> shape,
                    const char* dtype) {
    PyRef dims(tuple_of(shape, PyLong_FromSsize_t));
    if (!dims) return nullptr;
    return numpy_call(constructor, dims.get(), dtype);
}

void populate_result(const ArrayView& view, const ViewKind& kind, PagesAtOnce which) {
    const ArrayViewSlice& slice = view.slice();
    Py_ssize_t bytes = kind.itemsize;
    for (int d = kind.ndim - 1; d >= 0; --d) {
        if (slice.strides[d] != bytes) return;
        bytes *= slice.shape[d];
    }
    if (which == PagesAtOnce::all) {
        populate_for_writing(slice.data, static_cast<std::size_t>(bytes));
    } else {
        populate_small_pages(slice.data, static_cast<std::size_t>(bytes), kNumpyHugePagesFrom);
    }
}

bool new_result(const char* constructor, std::initializer_list<Py_ssize_t> shape, const char* dtype,
                const ViewKind& kind, PyRef& array, ArrayView& view) {
    PyRef made(new_array(constructor, shape, dtype));
    if (!made || !ArrayView::acquire(made.get(), kind, view)) return false;
    int d = 0;
    for (Py_ssize_t extent : shape) {
        if (view.is_none() || view.extent(d++) != extent) {
            PyErr_Format(PyExc_ValueError, "np.%s() made a result array of the wrong shape",
                         constructor);
            view = ArrayView();
            return false;
        }
    }
    populate_result(view, kind, PagesAtOnce::outside_huge_pages);
    array = std::move(made);
    return true;
}

int init_view_type() {
    if (view_type) return 0;
    view_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&view_spec));
    return view_type ? 0 : -1;
}

}  // namespace gk
