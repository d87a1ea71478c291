// geokern module layer: bodies of module-level functions of one array
// argument that hand its view straight to a native function.
#pragma once

#include "module/function.hpp"
#include "module/view.hpp"

namespace gk {

// Accepts the call's argument as a view of `Kind` and returns what `Native`
// makes of its slice: a new reference, or nullptr with an exception set, to
// which the function adds its entry.  The view is released on return.
// Use as a table row's body: slice_body<kDouble2D, generate_obb_2d_from_points_cython>.
template <const ViewKind& Kind, PyObject* (*Native)(ArrayViewSlice)>
PyObject* slice_body(Call& call) {
    ArrayView view;
    if (!ArrayView::acquire(call[0], Kind, view)) return call.fail();
    return call.result(Native(view.slice()));
}

}  // namespace gk
