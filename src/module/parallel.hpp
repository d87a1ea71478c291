// geokern module layer: the parallel row loop of the batch functions.
//
// Call with the interpreter lock held and every argument and result
// already converted: the lock is released for the whole loop phase (also
// when n is 0), the rows are split statically into one contiguous block
// per OpenMP thread, and the lock is re-acquired before returning.  With T
// threads, thread t takes q + 1 rows from t * (q + 1) when t < r, and q
// rows from t * q + r otherwise (q = n / T, r = n % T).
//
// The callbacks must not touch Python objects, allocate or throw: they run
// with the lock released, and every error of a batch function is raised
// before or after this call.
#pragma once

#include "module/python.hpp"

#include <omp.h>

namespace gk {

// Hands each thread's block to `group(i, count)` in consecutive groups of
// `Width` rows (the last group of a block may be shorter).  For SIMD
// kernels whose lanes are independent, so that a row's result does not
// depend on which group or thread it falls into.
template <int Width, class GroupFn>
void parallel_groups(Py_ssize_t n, GroupFn&& group) {
    Py_BEGIN_ALLOW_THREADS
    if (n > 0) {
#pragma omp parallel
        {
            const Py_ssize_t threads = omp_get_num_threads();
            const Py_ssize_t t = omp_get_thread_num();
            const Py_ssize_t q = n / threads;
            const Py_ssize_t r = n % threads;
            const Py_ssize_t begin = t < r ? t * (q + 1) : t * q + r;
            const Py_ssize_t end = begin + (t < r ? q + 1 : q);
            for (Py_ssize_t i = begin; i < end; i += Width) {
                group(i, static_cast<int>(end - i < Width ? end - i : Width));
            }
        }
    }
    Py_END_ALLOW_THREADS
}

// One call of `row(i)` per row.
template <class RowFn>
void parallel_rows(Py_ssize_t n, RowFn&& row) {
    parallel_groups<1>(n, [&row](Py_ssize_t i, int) { row(i); });
}

}  // namespace gk
