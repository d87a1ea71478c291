// geokern_tools._native: buffer objects over memory that native code
// filled (see owned_buffer.hpp).
#include "tools_native/owned_buffer.hpp"

namespace gk::tools {

namespace {

struct OwnedBuffer {
    PyObject_HEAD
    BufferHolder* holder;
};

PyTypeObject* owned_buffer_type = nullptr;

OwnedBuffer* as_owned(PyObject* self) { return reinterpret_cast<OwnedBuffer*>(self); }

void owned_buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_owned(self)->holder;
    type->tp_free(self);
    Py_DECREF(type);
}

int owned_buffer_getbuffer(PyObject* self, Py_buffer* out, int flags) {
    BufferHolder* holder = as_owned(self)->holder;
    return PyBuffer_FillInfo(out, self, holder->data(), static_cast<Py_ssize_t>(holder->bytes()), 0,
                             flags);
}

PyType_Slot owned_buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(owned_buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(owned_buffer_getbuffer)},
    {0, nullptr},
};

PyType_Spec owned_buffer_spec = {
    "geokern_tools._native.owned_buffer",
    sizeof(OwnedBuffer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    owned_buffer_slots,
};

}  // namespace

PyObject* owned_buffer(std::unique_ptr<BufferHolder> holder) {
    PyObject* self = PyType_GenericAlloc(owned_buffer_type, 0);
    if (!self) return nullptr;
    as_owned(self)->holder = holder.release();
    return self;
}

int init_owned_buffer_type() {
    if (owned_buffer_type) return 0;
    owned_buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&owned_buffer_spec));
    return owned_buffer_type ? 0 : -1;
}

}  // namespace gk::tools
