// geokern module layer: typed array views.
//
// An array argument or result is reached through an ArrayViewSlice: the
// view object that holds the acquired buffer (view_object.hpp), the data
// pointer and 8 shapes, strides and sub-offsets.  Its layout is the one
// that the `__Pyx_memviewslice` parameter type of the published native
// functions names, so other native modules can pass slices to our
// capsules.
//
// Accepting an argument requests its buffer with strides and format (and
// write access for writable kinds) and checks it against the view's kind
// (buffer_format.hpp, with its messages).  None becomes an empty slice
// (zero rows) whose view object is None.
#pragma once

#include "core/strided.hpp"
#include "module/python.hpp"
#include "module/view_kind.hpp"

#include <cstddef>

namespace gk {

inline constexpr int kMaxDims = 8;

struct ArrayViewSlice {
    PyObject* memview;  // the view object, or None for an empty slice
    char* data;
    Py_ssize_t shape[kMaxDims];
    Py_ssize_t strides[kMaxDims];
    Py_ssize_t suboffsets[kMaxDims];
};

// The record other native modules build and pass by value.
static_assert(sizeof(ArrayViewSlice) == 2 * sizeof(void*) + 3 * kMaxDims * sizeof(Py_ssize_t));
static_assert(offsetof(ArrayViewSlice, data) == sizeof(void*));
static_assert(offsetof(ArrayViewSlice, shape) == 2 * sizeof(void*));

// Rows of a 2-D slice as elements of type T.
template <class T>
StridedRows<T> rows_of(const ArrayViewSlice& slice) {
    return {slice.data, slice.strides[0], slice.strides[1]};
}

// Requires at least `columns` entries in dimension 1 of a 2-D slice that is
// not None; ValueError "<what> must have at least 3 columns, got 2".
bool require_columns(const ArrayViewSlice& slice, Py_ssize_t columns, const char* what);

// Owns one acquisition of a view object (none for an empty slice).  Copies
// add an acquisition, destruction drops one; the count is atomic, so views
// may be copied and dropped on any thread.  When the last acquisition goes,
// the slices' reference to the view object is released (taking the
// interpreter lock if the thread does not hold it).
class ArrayView {
public:
    ArrayView();
    ArrayView(const ArrayView& other);
    ArrayView(ArrayView&& other) noexcept;
    ArrayView& operator=(ArrayView other) noexcept;
    ~ArrayView();

    // Accepts `obj` as a view of `kind`; false with the exception set.
    static bool acquire(PyObject* obj, const ViewKind& kind, ArrayView& out);

    const ArrayViewSlice& slice() const { return slice_; }
    bool is_none() const { return slice_.memview == Py_None; }
    Py_ssize_t extent(int dim) const { return slice_.shape[dim]; }

    bool require_columns(Py_ssize_t columns, const char* arg_name) const {
        return gk::require_columns(slice_, columns, arg_name);
    }

    template <class T>
    StridedRows<T> rows() const {
        return rows_of<T>(slice_);
    }

    // From now on the view object re-exports its memory read-only, so that
    // a view kept for reuse (a default argument) cannot be written through
    // the object that Python code can see.
    void export_read_only();

    // The items of a 1-D view.
    template <class T>
    StridedItems<T> items() const {
        return {slice_.data, slice_.strides[0]};
    }

private:
    void add_acquisition();
    void drop_acquisition();
    ArrayViewSlice slice_;
};

}  // namespace gk
