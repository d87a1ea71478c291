"""Where the time of a row batch goes on one thread and on two.

For geodetic2ecef_fast_array and the three Web Mercator batches on
2 000 000 rows (48 MB in, 48 MB out) this times, on one and on two OpenMP
threads:
  - the call as users make it (a fresh result array: its pages are first
    touched, and so faulted in, by the worker threads);
  - the same call on 50 000 rows, repeated: input and result stay in the
    caches and the result's memory is reused, so this is the arithmetic
    and the parallel frame alone (per row, scaled to 2 000 000 rows);
  - the same calls in a process whose C library keeps freed memory
    (GLIBC_TUNABLES: no mmap, no trimming), so that each fresh result lands
    on pages an earlier call touched: the call without first-touch faults;
  - geodetic2ecef_fast_array with numpy's huge-page advice off, so that
    its fresh result faults in 4 KiB pages rather than 2 MiB ones;
  - a China batch of geokern_tools._native with a fresh result and with a
    preallocated warm `out`, the only way a public function reaches a warm
    result at full size;
and, without geokern or numpy's loops (ctypes calls release the interpreter
lock, so Python threads run them in parallel), the machine's own limits on
one and two threads: filling a fresh 48 MB array (first-touch page faults
plus the writes; in halves, in the frame's chunks taken in turn, and in
4 KiB pages) and a warm one, and copying 48 MB into a fresh array and
between warm buffers.

The machine is shared, so one and two threads are timed in turn, repeat by
repeat, in the same process (the OpenMP thread count is set through the
runtime's omp_set_num_threads between calls), and each figure is the best
of its repeats: a busy moment then costs both sides alike.

Usage: python bench/bench_threads.py [--rows N]
"""
import argparse
import concurrent.futures
import ctypes
import gc
import json
import os
import subprocess
import sys
import time

import numpy as np

import geokern
from geokern_tools import _native
from timing import fmt, fresh_pages

ROWS = 2_000_000
CACHED_ROWS = 50_000
REPEAT = 15
# The parallel frame's largest row chunk (module/parallel.hpp, 16 384 rows)
# of three float64 columns.
CHUNK_BYTES = 16_384 * 3 * 8
LIBC = ctypes.CDLL(None)
LIBC.memset.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t]
LIBC.memcpy.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
BATCHES = ("geodetic2ecef_fast_array", "geodetic_to_web_mercator_fast_array",
           "web_mercator_to_geodetic_fast_array", "web_mercator_to_ecef_fast_array")
# The C library then keeps freed memory for reuse instead of returning it
# to the system: a 48 MB result then lands on pages an earlier one touched.
REUSING_ALLOCATOR = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=4294967296"


def in_turns(cases, set_threads, repeat=REPEAT, counts=(1, 2), before=lambda: None):
    """Best seconds per call of every case on each thread count, timed in
    turn: {"1": {label: s}, "2": {...}}.  `cases` maps a label to (a call
    taking the thread count, calls per timing, scale); `before` runs
    before each timing, untimed."""
    best = {str(threads): {} for threads in counts}
    gc.collect()
    for _ in range(repeat):
        for label, (call, number, scale) in cases.items():
            for threads in counts:
                set_threads(threads)
                before()
                start = time.perf_counter()
                for _ in range(number):
                    call(threads)
                seconds = (time.perf_counter() - start) / number * scale
                key = str(threads)
                best[key][label] = min(best[key].get(label, float("inf")), seconds)
    return best


def omp_threads(threads):
    """Sets the thread count of the next parallel regions: the OpenMP
    runtime geokern is linked with has one copy per process."""
    ctypes.CDLL("libgomp.so.1").omp_set_num_threads(threads)


def default_threads():
    """The thread count a parallel region gets before omp_threads is called."""
    return ctypes.CDLL("libgomp.so.1").omp_get_max_threads()


def small_pages(call):
    """`call` with numpy's huge-page advice off: fresh arrays then fault in
    4 KiB pages instead of 2 MiB ones."""
    def with_small_pages(*args):
        before = np._core.multiarray._set_madvise_hugepage(False)
        try:
            return call(*args)
        finally:
            np._core.multiarray._set_madvise_hugepage(before)
    return with_small_pages


def batch_input(name, n):
    rng = np.random.default_rng(0)
    geo = np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-85, 85, n),
                           rng.uniform(-1e3, 1e4, n)])
    return geokern.geodetic_to_web_mercator_fast_array(geo) if name.startswith("web") else geo


def batch_times(n, fresh_only=False):
    """geokern's calls on 1 and 2 OpenMP threads, in this process."""
    cases = {}
    for name in BATCHES:
        f = getattr(geokern, name)
        big = batch_input(name, n)
        cases[name] = (lambda _, f=f, big=big: f(big), 1, 1)
        if not fresh_only:
            small = batch_input(name, CACHED_ROWS)
            cases[name + " cached"] = (lambda _, f=f, small=small: f(small),
                                       max(n // CACHED_ROWS, 1), n / CACHED_ROWS)
    if not fresh_only:
        first = BATCHES[0]
        cases[first + " small pages"] = (small_pages(cases[first][0]), 1, 1)
        rng = np.random.default_rng(1)
        lonlat = np.column_stack([rng.uniform(72, 137, n), rng.uniform(3, 55, n)])
        warm = np.empty_like(lonlat)
        cases["china fresh"] = (lambda _: _native.wgs84_to_gcj02(lonlat), 1, 1)
        cases["china warm"] = (lambda _: _native.wgs84_to_gcj02(lonlat, warm), 1, 1)
    # Fresh pages for every timing, except where the allocator is to keep them.
    return in_turns(cases, omp_threads, before=(lambda: None) if fresh_only else fresh_pages)


def batch_times_reusing(n):
    """batch_times(fresh_only) in a process whose allocator reuses memory."""
    env = {**os.environ, "GLIBC_TUNABLES": REUSING_ALLOCATOR}
    result = subprocess.run([sys.executable, __file__, "--reusing-child", "--rows", str(n)],
                            env=env, check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(result.stdout)


def _split(nbytes, parts):
    step = -(-nbytes // parts)
    return [(i, min(step, nbytes - i)) for i in range(0, nbytes, step)]


def machine_times(nbytes):
    """Fills and copies of `nbytes` on one and two Python threads (ctypes
    releases the lock), best seconds each."""
    pool = concurrent.futures.ThreadPoolExecutor(2)
    warm_src = np.ones(nbytes, np.uint8)
    warm_dst = np.ones(nbytes, np.uint8)

    def run(threads, job):
        list(pool.map(job, _split(nbytes, threads)))

    def fill_fresh(threads):
        fresh = np.empty(nbytes, np.uint8)  # numpy asks for huge pages (madvise)
        run(threads, lambda p: LIBC.memset(fresh.ctypes.data + p[0], 1, p[1]))

    def fill_fresh_in_turns(threads):
        # Workers taking CHUNK_BYTES pieces in turn, as the batches' workers
        # take row chunks: two threads then fault in the same huge pages.
        fresh = np.empty(nbytes, np.uint8)
        parts = _split(nbytes, -(-nbytes // CHUNK_BYTES))

        def worker(t):
            for start, size in parts[t::threads]:
                LIBC.memset(fresh.ctypes.data + start, 1, size)
        list(pool.map(worker, range(threads)))

    def fill_warm(threads):
        run(threads, lambda p: LIBC.memset(warm_dst.ctypes.data + p[0], 1, p[1]))

    def copy_fresh(threads):
        fresh = np.empty(nbytes, np.uint8)
        run(threads, lambda p: LIBC.memcpy(fresh.ctypes.data + p[0], warm_src.ctypes.data + p[0],
                                           p[1]))

    def copy_warm(threads):
        run(threads, lambda p: LIBC.memcpy(warm_dst.ctypes.data + p[0],
                                           warm_src.ctypes.data + p[0], p[1]))

    cases = {f.__name__: (f, 1, 1) for f in (fill_fresh, fill_fresh_in_turns, fill_warm,
                                             copy_fresh, copy_warm)}
    cases["fill_fresh_small_pages"] = (small_pages(fill_fresh), 1, 1)
    cases["numpy_copy"] = (lambda _: warm_src.copy(), 1, 1)
    out = in_turns(cases, lambda threads: None)
    pool.shutdown()
    return out


def huge_pages_of_fresh_array(nbytes):
    """Bytes of AnonHugePages that a fresh numpy array of `nbytes` adds once
    touched: whether first touches fault 2 MiB pages or 4 KiB ones."""
    def anon_huge():
        with open("/proc/self/smaps_rollup") as f:
            return next(int(line.split()[1]) * 1024 for line in f
                        if line.startswith("AnonHugePages:"))
    before = anon_huge()
    a = np.empty(nbytes, np.uint8)
    a.fill(1)
    return anon_huge() - before


def measure_in_child(n=ROWS):
    """measure() in a fresh process: what earlier work left in a process
    (its allocator's state, resident free memory) changes the page-fault
    figures."""
    result = subprocess.run([sys.executable, __file__, "--json", "--rows", str(n)], check=True,
                            stdout=subprocess.PIPE, text=True)
    return json.loads(result.stdout)


def measure(n=ROWS):
    load = os.getloadavg()[0]
    nbytes = n * 3 * 8
    return {"rows": n, "bytes": nbytes, "batches": batch_times(n),
            "reusing": batch_times_reusing(n), "machine": machine_times(nbytes),
            "huge_pages": huge_pages_of_fresh_array(nbytes),
            "load_average_1min": [load, os.getloadavg()[0]]}


def format_text(m):
    mb = m["bytes"] / 1e6
    out = [f"{m['rows']} rows ({mb:.0f} MB in, {mb:.0f} MB out); 1 and 2 threads timed in turn, "
           f"best of {REPEAT}; load average {m['load_average_1min'][0]:.2f} before, "
           f"{m['load_average_1min'][1]:.2f} after",
           f"{'':<48} {'1 thread':>10} {'2 threads':>10} {'speed-up':>9}"]

    def line(label, figures, key, two_key=None):
        t1, t2 = figures["1"][key], figures["2"][two_key or key]
        out.append(f"{label:<48} {fmt(t1):>10} {fmt(t2):>10} {t1 / t2:>8.2f}x")

    b, r, mc = m["batches"], m["reusing"], m["machine"]
    for name in BATCHES:
        line(name, b, name)
        line("  result on reused pages (allocator keeps them)", r, name)
        line("  arithmetic alone (50 000 rows, in cache)", b, name + " cached")
        if name + " small pages" in b["1"]:
            line("  result in 4 KiB pages (no huge-page advice)", b, name + " small pages")
    line("_native.wgs84_to_gcj02, fresh result", b, "china fresh")
    line("_native.wgs84_to_gcj02, warm out=", b, "china warm")
    line(f"fill a fresh {mb:.0f} MB array (page faults)", mc, "fill_fresh")
    line(f"  threads taking {CHUNK_BYTES // 1024} KiB pieces in turn", mc, "fill_fresh_in_turns")
    line("  in 4 KiB pages (no huge-page advice)", mc, "fill_fresh_small_pages")
    line(f"fill a warm {mb:.0f} MB array", mc, "fill_warm")
    line(f"copy {mb:.0f} MB into a fresh array (memcpy)", mc, "copy_fresh")
    line(f"copy {mb:.0f} MB warm -> warm (memcpy)", mc, "copy_warm")
    out.append(f"{'numpy copy() of the input (one thread)':<48} {fmt(mc['1']['numpy_copy']):>10}")
    out.append(f"a fresh {mb:.0f} MB array, touched, holds {m['huge_pages'] / 1e6:.0f} MB "
               "of huge pages")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=ROWS)
    parser.add_argument("--reusing-child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.reusing_child:
        print(json.dumps(batch_times(args.rows, fresh_only=True)))
        return
    m = measure(args.rows)
    print(json.dumps(m) if args.json else format_text(m))


if __name__ == "__main__":
    main()
