// geokern module layer: the parallel row loop of the batch functions.
//
// Call parallel_rows / parallel_groups with the interpreter lock held and
// every argument and result already converted: the lock is released for
// the whole loop phase (also when n is 0), the rows are split statically
// into one contiguous block per OpenMP thread, and the lock is re-acquired
// before returning.  With T threads, thread t takes q + 1 rows from
// t * (q + 1) when t < r, and q rows from t * q + r otherwise
// (q = n / T, r = n % T).
//
// The callbacks must not touch Python objects, allocate or throw: they run
// with the lock released, and every error of a batch function is raised
// before or after this call.  A loop stopped by Ctrl-C returns false with
// KeyboardInterrupt set; its result array is then dropped unseen.
#pragma once

#include "module/interrupt.hpp"
#include "module/python.hpp"

#include <omp.h>

#include <atomic>

namespace gk {

// Runs `f()` with the interpreter lock released; the same rules as for the
// row callbacks apply to `f`.
template <class F>
void without_gil(F&& f) {
    Py_BEGIN_ALLOW_THREADS
    f();
    Py_END_ALLOW_THREADS
}

// The row split, for a caller that has already released the lock (inside
// without_gil, after serial work of its own): each thread's block is handed
// to `group(i, count)` in consecutive groups of `Width` rows (the last
// group of a block may be shorter).  With Width > 1 this serves SIMD
// kernels whose lanes are independent, so that a row's result does not
// depend on which group or thread it falls into.  Every
// kRowsPerSignalCheck rows the calling thread (the team's thread 0) looks
// for pending signals; when a handler raised, every thread stops after
// its current stretch and the result is false (the exception set).
template <int Width, class GroupFn>
[[nodiscard]] bool team_groups(Py_ssize_t n, GroupFn&& group) {
    static_assert(kRowsPerSignalCheck % Width == 0);
    if (n <= 0) return true;
    std::atomic<bool> stop{false};
#pragma omp parallel
    {
        const Py_ssize_t threads = omp_get_num_threads();
        const Py_ssize_t t = omp_get_thread_num();
        const Py_ssize_t q = n / threads;
        const Py_ssize_t r = n % threads;
        const Py_ssize_t begin = t < r ? t * (q + 1) : t * q + r;
        const Py_ssize_t end = begin + (t < r ? q + 1 : q);
        for (Py_ssize_t stretch = begin; stretch < end; stretch += kRowsPerSignalCheck) {
            if (stretch > begin) {
                if (t == 0 && signal_raised_unlocked()) stop.store(true, std::memory_order_relaxed);
                if (stop.load(std::memory_order_relaxed)) break;
            }
            const Py_ssize_t stretch_end =
                end - stretch < kRowsPerSignalCheck ? end : stretch + kRowsPerSignalCheck;
            for (Py_ssize_t i = stretch; i < stretch_end; i += Width) {
                group(i, static_cast<int>(stretch_end - i < Width ? stretch_end - i : Width));
            }
        }
    }
    return !stop.load(std::memory_order_relaxed);
}

// One call of `row(i)` per row, the lock already released.
template <class RowFn>
[[nodiscard]] bool team_rows(Py_ssize_t n, RowFn&& row) {
    return team_groups<1>(n, [&row](Py_ssize_t i, int) { row(i); });
}

template <int Width, class GroupFn>
[[nodiscard]] bool parallel_groups(Py_ssize_t n, GroupFn&& group) {
    bool done = false;
    without_gil([n, &group, &done] { done = team_groups<Width>(n, group); });
    return done;
}

template <class RowFn>
[[nodiscard]] bool parallel_rows(Py_ssize_t n, RowFn&& row) {
    bool done = false;
    without_gil([n, &row, &done] { done = team_rows(n, row); });
    return done;
}

}  // namespace gk
