// geokern module layer: the view object behind an ArrayViewSlice.
//
// A view object owns one buffer acquisition from the exporter and exports
// the same buffer again, so that numpy.asarray(view) works; a view of a
// read-only kind exports read-only memory.  The slices that hold it count
// themselves in `acquisitions` (view.cpp).  A view made over a slice
// (slice_object) holds no acquisition of its own: it keeps the slice's view
// object alive and describes the memory itself.
#pragma once

#include "module/python.hpp"
#include "module/view.hpp"
#include "module/view_kind.hpp"

namespace gk {

struct ViewObject {
    PyObject_HEAD
    Py_buffer buffer;
    int acquisitions;      // slices holding this view; atomic access only
    const ViewKind* kind;  // what the buffer was accepted as
    bool readonly;
    // For a view made over a slice: the object that keeps the memory alive,
    // and the shape, strides and format its buffer points to.
    PyObject* owner;
    Py_ssize_t dims[2 * kMaxDims];
    char format[2];
};

inline ViewObject* as_view(PyObject* self) { return reinterpret_cast<ViewObject*>(self); }

// A new view object with no buffer yet, exporting read-only until told
// otherwise; `owner` (may be nullptr) is kept alive by it.  nullptr with an
// exception set on failure.
ViewObject* new_view(const ViewKind& kind, PyObject* owner);

// A read-only buffer object over the memory that `slice` describes, read as
// elements of `kind` (its format, item size and number of dimensions), for
// handing a slice to Python code such as numpy; it keeps the slice's view
// object alive.  None for an empty slice whose view object is None.  New
// reference, or nullptr with an exception set.
PyObject* slice_object(const ArrayViewSlice& slice, const ViewKind& kind);

// Ready the view object type; called once by the exec step.
int init_view_type();

}  // namespace gk
