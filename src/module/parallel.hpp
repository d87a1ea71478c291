// geokern module layer: the parallel row loop of the batch functions.
//
// Call parallel_rows / parallel_chunks with the interpreter lock held and
// every argument and result already converted: the lock is released for
// the whole loop phase (also when n is 0), the rows are handed out in
// chunks, and the lock is re-acquired before returning.  Each OpenMP
// thread owns an equal, contiguous share of the chunks and works through
// it from the front; a thread that has finished its share takes the
// chunks that are left of the others' shares from their back.  A thread
// that shares its core with another process thus does less instead of
// holding the others up at the end of the loop, and on an idle machine
// each thread writes one contiguous stretch of the result, so two threads
// seldom fault in the same fresh page (a 2 MiB page holds eight chunks of
// the (N, 3) batches).
//
// The callbacks must not touch Python objects, allocate or throw: they run
// with the lock released, and every error of a batch function is raised
// before or after this call.  A loop stopped by Ctrl-C returns false with
// KeyboardInterrupt set; its result array is then dropped unseen.
#pragma once

#include "module/interrupt.hpp"
#include "module/python.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace gk {

// Runs `f()` with the interpreter lock released; the same rules as for the
// row callbacks apply to `f`.
template <class F>
void without_gil(F&& f) {
    Py_BEGIN_ALLOW_THREADS
    f();
    Py_END_ALLOW_THREADS
}

// Rows per chunk when the caller does not choose: about eight chunks per
// thread, so that a thread slowed down by another process gives its share
// to the others, but never more than kMaxRowsPerChunk rows (a chunk still
// running when the others are done is the loop's tail) and never less than
// kMinRowsPerChunk (a take from the counter costs a shared cache line).
inline constexpr Py_ssize_t kMaxRowsPerChunk = Py_ssize_t{1} << 14;
inline constexpr Py_ssize_t kMinRowsPerChunk = 256;

inline Py_ssize_t default_chunk_rows(Py_ssize_t n, Py_ssize_t threads) {
    const Py_ssize_t share = n / (8 * (threads > 0 ? threads : 1));
    return std::clamp(share, kMinRowsPerChunk, kMaxRowsPerChunk);
}

// The row loop, for a caller that has already released the lock (inside
// without_gil, after serial work of its own).  Fewer than `serial_below`
// rows are handed to `rows(0, n)` on the calling thread: waking the team
// costs a few microseconds, more than such a batch takes (each caller's
// figure was measured, bench/measurements.md).  Every row is converted on
// its own, so no result depends on the choice.  Otherwise rows go out in
// chunks of `chunk` rows (0: default_chunk_rows; rounded up to a multiple
// of Align), so every chunk starts on a multiple of Align; each is handed
// to `rows(begin, end)`.  With Align the width of a SIMD kernel, every vector
// step but the batch's last is full.  Whenever the calling thread (the
// team's thread 0) has done kRowsPerSignalCheck rows since its last look,
// it looks for pending signals; when a handler raised, every thread stops
// after its current chunk and the result is false (the exception set).
namespace parallel_detail {

// The chunks [front, back) of one thread's share that nobody has taken,
// packed in one word so that its owner (taking the front) and the others
// (taking the back) agree on every chunk.
struct alignas(64) Share {
    std::atomic<uint64_t> range;

    static uint64_t pack(uint64_t front, uint64_t back) { return front << 32 | back; }

    // Takes the front chunk (owner) or the back chunk (others) into `chunk`;
    // false when the share is used up.
    bool take(bool from_front, uint64_t& chunk) {
        uint64_t seen = range.load(std::memory_order_relaxed);
        for (;;) {
            const uint64_t front = seen >> 32, back = seen & 0xffffffffu;
            if (front >= back) return false;
            chunk = from_front ? front : back - 1;
            const uint64_t rest = from_front ? pack(front + 1, back) : pack(front, back - 1);
            if (range.compare_exchange_weak(seen, rest, std::memory_order_relaxed)) return true;
        }
    }
};

// Threads beyond this many own no share and only take from the others.
inline constexpr int kMaxShares = 64;

}  // namespace parallel_detail

template <int Align, class ChunkFn>
[[nodiscard]] bool team_chunks(Py_ssize_t n, Py_ssize_t serial_below, ChunkFn&& rows,
                               Py_ssize_t chunk = 0) {
    static_assert(kRowsPerSignalCheck % Align == 0);
    if (n <= 0) return true;
    // A batch this small ends long before the next look at signals is due.
    if (n < std::min(serial_below, kRowsPerSignalCheck)) {
        rows(Py_ssize_t{0}, n);
        return true;
    }
    std::atomic<bool> stop{false};
    parallel_detail::Share shares[parallel_detail::kMaxShares];
#pragma omp parallel
    {
        const int team = omp_get_num_threads();
        const int me = omp_get_thread_num();
        const int owners = std::min(team, parallel_detail::kMaxShares);
        Py_ssize_t size = chunk > 0 ? chunk : default_chunk_rows(n, team);
        size = (size + Align - 1) / Align * Align;
        const auto chunks = static_cast<uint64_t>((n + size - 1) / size);
        if (me < owners) {
            shares[me].range.store(
                parallel_detail::Share::pack(chunks * me / owners, chunks * (me + 1) / owners),
                std::memory_order_relaxed);
        }
#pragma omp barrier
        const bool checks_signals = me == 0;
        Py_ssize_t unchecked = 0;
        // Its own share first, then the others' in turn from the next one on.
        for (int k = 0; k < owners && !stop.load(std::memory_order_relaxed); ++k) {
            const int owner = (me + k) % owners;
            uint64_t taken;
            while (!stop.load(std::memory_order_relaxed) &&
                   shares[owner].take(owner == me, taken)) {
                const Py_ssize_t begin = static_cast<Py_ssize_t>(taken) * size;
                const Py_ssize_t end = n - begin < size ? n : begin + size;
                rows(begin, end);
                unchecked += end - begin;
                if (checks_signals && unchecked >= kRowsPerSignalCheck) {
                    unchecked = 0;
                    if (signal_raised_unlocked()) stop.store(true, std::memory_order_relaxed);
                }
            }
        }
    }
    return !stop.load(std::memory_order_relaxed);
}

// The chunks cut into consecutive groups of Width rows, each handed to
// `group(i, count)` (only the last group of the loop may be shorter), the
// lock already released.
template <int Width, class GroupFn>
[[nodiscard]] bool team_groups(Py_ssize_t n, Py_ssize_t serial_below, GroupFn&& group,
                               Py_ssize_t chunk = 0) {
    return team_chunks<Width>(
        n, serial_below,
        [&group](Py_ssize_t begin, Py_ssize_t end) {
            for (Py_ssize_t i = begin; i < end; i += Width) {
                group(i, static_cast<int>(end - i < Width ? end - i : Width));
            }
        },
        chunk);
}

// One call of `row(i)` per row, the lock already released.
template <class RowFn>
[[nodiscard]] bool team_rows(Py_ssize_t n, Py_ssize_t serial_below, RowFn&& row) {
    return team_chunks<1>(n, serial_below, [&row](Py_ssize_t begin, Py_ssize_t end) {
        for (Py_ssize_t i = begin; i < end; ++i) row(i);
    });
}

template <int Align, class ChunkFn>
[[nodiscard]] bool parallel_chunks(Py_ssize_t n, Py_ssize_t serial_below, ChunkFn&& rows) {
    bool done = false;
    without_gil(
        [n, serial_below, &rows, &done] { done = team_chunks<Align>(n, serial_below, rows); });
    return done;
}

template <class RowFn>
[[nodiscard]] bool parallel_rows(Py_ssize_t n, Py_ssize_t serial_below, RowFn&& row) {
    bool done = false;
    without_gil([n, serial_below, &row, &done] { done = team_rows(n, serial_below, row); });
    return done;
}

}  // namespace gk
