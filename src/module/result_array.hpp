// geokern module layer: result arrays.
//
// Results are numpy arrays made at the Python level through the module
// attribute `np` (np.empty, np.zeros, ...), so they are C-contiguous and
// owned by the caller; a function fills one through a writable view and
// returns the array itself.
#pragma once

#include "module/python.hpp"
#include "module/ref.hpp"
#include "module/view.hpp"
#include "module/view_kind.hpp"

#include <initializer_list>

namespace gk {

// A new numpy array made through the module attribute `np`:
// np.<constructor>(shape, dtype=np.<dtype>), e.g. ("empty", {n, 3},
// "float64").  New reference, or nullptr with numpy's exception set.
PyObject* new_array(const char* constructor, std::initializer_list<Py_ssize_t> shape,
                    const char* dtype);

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

}  // namespace gk
