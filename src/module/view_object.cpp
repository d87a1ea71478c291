// geokern module layer: the view object behind an ArrayViewSlice (see
// view_object.hpp).
#include "module/view_object.hpp"

namespace gk {

namespace {

PyTypeObject* view_type = nullptr;

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

}  // namespace

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

int init_view_type() {
    if (view_type) return 0;
    view_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&view_spec));
    return view_type ? 0 : -1;
}

}  // namespace gk
