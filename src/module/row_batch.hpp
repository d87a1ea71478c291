// geokern module layer: the frame of the batch functions over (N, 3) rows.
//
// The rows are converted by a vector row kernel (core/row_kernel.hpp) of the
// build that vector_path.hpp chose, chunk by chunk, in parallel with the
// interpreter lock released.
#pragma once

#include "core/row_kernel.hpp"
#include "module/function.hpp"
#include "module/view.hpp"

namespace gk {

// Fills the n rows of `dst` from the rows of `src` with `kernel`, in
// parallel with the interpreter lock released.  False, with
// KeyboardInterrupt set, when Ctrl-C stopped the loop.
[[nodiscard]] bool convert_rows(Py_ssize_t n, RowKernel kernel, StridedRows<const double> src,
                                StridedRows<double> dst);

// The body of a batch over argument 0 (`arr`): taken as a read-only float64
// view (None counts as zero rows; fewer than 3 columns are rejected before
// anything is made), the result made with np.empty((N, 3),
// dtype=np.float64) and filled by `kernel`.
PyObject* map_rows3(Call& call, RowKernel kernel);

}  // namespace gk
