// geokern module layer: Ctrl-C in loops that run with the lock released.
//
// Long loops stop between blocks of rows to let the interpreter run its
// signal handlers: the thread that released the lock takes it back
// briefly, and a handler that raises (KeyboardInterrupt for Ctrl-C) stops
// the loop.  The exception stays set; the caller drops what it built and
// fails once it holds the lock again.
#pragma once

#include <cstddef>

namespace gk {

// Rows a thread works through between two looks at pending signals: a few
// milliseconds of the cheapest loop.
inline constexpr std::ptrdiff_t kRowsPerSignalCheck = std::ptrdiff_t{1} << 20;

// The same for loops that hold the lock and make Python objects per row;
// they look with PyErr_CheckSignals(), which costs next to nothing.
inline constexpr std::ptrdiff_t kRowsPerSignalCheckLocked = std::ptrdiff_t{1} << 16;

// Call without the lock, on the thread that released it: takes the lock,
// runs pending signal handlers, releases it.  True when a handler raised.
bool signal_raised_unlocked();

// Runs step(begin, end) over 0 .. n - 1 in consecutive blocks of
// kRowsPerSignalCheck rows, looking for signals between blocks (the lock
// released, on the thread that released it).  False as soon as a step
// returns false or a handler raised.
template <class Step>
bool in_signal_checked_blocks(std::ptrdiff_t n, Step&& step) {
    for (std::ptrdiff_t begin = 0; begin < n; begin += kRowsPerSignalCheck) {
        if (begin > 0 && signal_raised_unlocked()) return false;
        const std::ptrdiff_t end =
            n - begin < kRowsPerSignalCheck ? n : begin + kRowsPerSignalCheck;
        if (!step(begin, end)) return false;
    }
    return true;
}

}  // namespace gk
