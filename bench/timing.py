"""Timing helpers shared by the benchmark scripts.

Every figure is the best of several repeats, so that a busy moment of the
machine does not count against either side.  Scripts print ratios of a peer's
time to ours, measured on the same run.
"""
import ctypes
import gc
import pathlib
import sys
import time

# The benchmarks share the tests' reference formulas (tests/shared.py).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))


_LIBC = ctypes.CDLL(None)


def fresh_pages():
    """Returns the C library's free memory to the system.  A large result
    array is then written to fresh pages, faulted in on first touch, as in
    a new process or on its own mapping; without this, whether it lands on
    pages an earlier, freed array left resident depends on what the process
    did before, and a copy and a batch of the same size could be timed in
    different states."""
    _LIBC.malloc_trim(0)


def best_time(fn, repeat=5, number=1):
    """Best wall time of `number` calls of `fn`, over `repeat` repeats, per
    call; every repeat starts on fresh pages (fresh_pages)."""
    best = float("inf")
    gc.collect()
    for _ in range(repeat):
        fresh_pages()
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def best_times(calls, rounds=5):
    """Best wall time of each of `calls` ({name: fn}), every round timing
    each call once in turn, each on fresh pages.  On a shared machine whose
    speed changes from one second to the next, a 10 ms batch timed five
    times in a row may fall wholly into a slow stretch that a 200 ms peer's
    repeats outlast; timed in turn, both see the same stretches."""
    best = dict.fromkeys(calls, float("inf"))
    gc.collect()
    for _ in range(rounds):
        for name, fn in calls.items():
            fresh_pages()
            start = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def per_call(fn, args, number=200_000, repeat=5):
    """Best time of one call of fn(*args), from loops of `number` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn(*args)
        best = min(best, (time.perf_counter() - start) / number)
    return best


def row(function, ours, peers, copy=None, note="", floor=None):
    """One measured function: our time, {peer: seconds}, and the time of a
    plain copy of the same input bytes (None where no array goes in); for a
    scalar entry point, `floor` is the time of a call of the empty function
    with the same argument count (geokern_tools._native._noop2/_noop3)."""
    return {"function": function, "ours": ours, "peers": dict(peers), "copy": copy,
            "note": note, "floor": floor}


def floor_time(args, number=200_000):
    """Per-call time of the empty function of geokern's function type taking
    len(args) arguments: the interpreter's call, the function object and the
    argument matching, timed the way per_call times a scalar entry point."""
    from geokern_tools import _native
    return per_call(getattr(_native, f"_noop{len(args)}"), args, number)


def copy_time(*arrays):
    """Best time of copying `arrays`, the floor a batch over them is held to."""
    return best_time(lambda: [a.copy() for a in arrays], repeat=5)


def report(title, ours, peers):
    """Prints our time and, for each (name, seconds) peer, peer time / ours."""
    print(f"{title}: geokern {fmt(ours)}")
    for name, seconds in peers:
        print(f"    {name:<44} {fmt(seconds):>10}   x{seconds / ours:8.1f}")


def print_rows(rows):
    """Prints rows made by row() the way report() prints one measurement."""
    for r in rows:
        title = f"{r['function']}, {r['note']}" if r["note"] else r["function"]
        peers = list(r["peers"].items())
        if r["copy"] is not None:
            peers.append(("a plain copy of the input", r["copy"]))
        report(title, r["ours"], peers)
        if r.get("floor") is not None:
            print(f"    {'the empty function, same arguments':<44} {fmt(r['floor']):>10}   "
                  f"ours = x{r['ours'] / r['floor']:.2f} of it")


def fmt(seconds):
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.0f} ns"
