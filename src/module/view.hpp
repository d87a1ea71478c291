// geokern module layer: typed array views.
//
// An array argument or result is reached through an ArrayViewSlice: the
// view object that holds the acquired buffer, the data pointer and 8
// shapes, strides and sub-offsets.  Its layout is the one that the
// `__Pyx_memviewslice` parameter type of the published native functions
// names, so other native modules can pass slices to our capsules.
//
// Accepting an argument requests its buffer with strides and format (and
// write access for writable kinds) and checks it; messages:
//   "Buffer has wrong number of dimensions (expected 2, got 1)"
//   "Buffer dtype mismatch, expected 'const double' but got 'float'"
//   "Big-endian buffer not supported on little-endian compiler"
//   "Item size of buffer (4 bytes) does not match size of 'double' (8 bytes)"
//   "Buffer not compatible with direct access in dimension 0."
// None becomes an empty slice (zero rows) whose view object is None.
#pragma once

#include "core/strided.hpp"
#include "module/python.hpp"
#include "module/ref.hpp"

#include <atomic>
#include <cstddef>
#include <initializer_list>

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

// What a view accepts.  `group` is the element kind of the buffer format:
// 'R' floating, 'U' unsigned integer.
struct ViewKind {
    const char* type_name;  // as messages show it
    char format;            // the struct-module code of one element
    char group;
    Py_ssize_t itemsize;
    int ndim;
    bool writable;
};

inline constexpr ViewKind kConstDouble2D{"const double", 'd', 'R', 8, 2, false};
inline constexpr ViewKind kDouble2D{"double", 'd', 'R', 8, 2, true};
inline constexpr ViewKind kFloat64T2D{"DTYPE_FLOAT64_T", 'd', 'R', 8, 2, true};
inline constexpr ViewKind kDoubleT2D{"DTYPE_DOUBLE_T", 'd', 'R', 8, 2, true};
inline constexpr ViewKind kFloat64Array2D{"float64_t", 'd', 'R', 8, 2, true};
inline constexpr ViewKind kConstFloat2D{"const float", 'f', 'R', 4, 2, false};
inline constexpr ViewKind kFloat2D{"float", 'f', 'R', 4, 2, true};
inline constexpr ViewKind kConstIndex1D{"const uint32_t", 'I', 'U', 4, 1, false};
inline constexpr ViewKind kIndex1D{"uint32_t", 'I', 'U', 4, 1, true};
inline constexpr ViewKind kConstIndex2D{"const uint32_t", 'I', 'U', 4, 2, false};

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

// A read-only buffer object over the memory that `slice` describes, read as
// elements of `kind` (its format, item size and number of dimensions), for
// handing a slice to Python code such as numpy; it keeps the slice's view
// object alive.  None for an empty slice whose view object is None.  New
// reference, or nullptr with an exception set.
PyObject* slice_object(const ArrayViewSlice& slice, const ViewKind& kind);

// A new numpy array made through the module attribute `np`:
// np.<constructor>(shape, dtype=np.<dtype>), e.g. ("empty", {n, 3},
// "float64").  New reference, or nullptr with numpy's exception set.
PyObject* new_array(const char* constructor, std::initializer_list<Py_ssize_t> shape,
                    const char* dtype);

// np.<function>(arg, dtype=np.<dtype>), e.g. ("ascontiguousarray", obj,
// "float32").  New reference, or nullptr with numpy's exception set.
PyObject* numpy_call(const char* function, PyObject* arg, const char* dtype);

// A result array: new_array() taken as a writable view of `kind`.  As `np`
// may have been rebound, the array is checked to have exactly `shape`
// before anything is written into it (ValueError otherwise).
bool new_result(const char* constructor, std::initializer_list<Py_ssize_t> shape, const char* dtype,
                const ViewKind& kind, PyRef& array, ArrayView& view);

// Which pages of a fresh result populate_result faults in.
enum class PagesAtOnce {
    outside_huge_pages,  // those the writes would fault in 4 KiB at a time
    all,                 // for a result one thread writes in an order of its own
};

// Faults in at once (huge_pages.hpp) pages of a fresh result that is about
// to be written whole, when its memory is one C-contiguous block.  The
// huge pages left out are faulted in by the threads that write them, side
// by side.  new_result does it with outside_huge_pages.
void populate_result(const ArrayView& view, const ViewKind& kind, PagesAtOnce which);

// Ready the view object type; called once by the exec step.
int init_view_type();

}  // namespace gk
