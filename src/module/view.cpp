// geokern module layer: typed array views (see view.hpp).
#include "module/view.hpp"

#include "module/buffer_format.hpp"
#include "module/errors.hpp"
#include "module/ref.hpp"
#include "module/view_object.hpp"

#include <atomic>
#include <cstdio>
#include <utility>

namespace gk {

namespace {

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

}  // namespace gk
