"""Peak extra memory of every batch, against the size of what it returns.

A batch should need its result and nothing more than a bounded constant:
extra <= result + interface temporaries + BOUND.  The interface
temporaries are what the function's interface itself makes: the np.dot
product of the ECEF -> geodetic batches (and, for the list batch, the array
numpy's dot makes of the list first).

Each function runs in a fresh process.  There the input is made, the call
is warmed up on a small input (the OpenMP team, first-use tables), and the
call is measured twice on the full input:
  RSS:        the kernel's high-water mark, reset just before the call
              (/proc/self/clear_refs), minus the resident size before it:
              everything the process touched, native scratch included;
  tracemalloc: the peak of traced memory minus the traced memory before
              the call: Python objects and numpy's data buffers (numpy
              reports them to tracemalloc), but not memory a native body
              allocates with malloc or new.

Usage: python bench/bench_memory.py [--rows N] [--mesh-vertices N]
"""
import argparse
import ctypes
import gc
import json
import subprocess
import sys
import tracemalloc

import numpy as np

import geokern
import report_table
from geokern_tools import _native

ROWS = 10_000_000
LIST_ROWS = 2_000_000  # 10 M lists of three floats take about 1.6 GB to build
SMOOTH_VERTICES = 10_000_000
EXPAND_VERTICES = 1_000_000  # 6 M corners: flat and crease results of 190 MB and more
MiB = 1 << 20
BOUND = 16 * MiB
CHINA = ("wgs84_to_gcj02", "gcj02_to_wgs84", "wgs84_to_bd09", "bd09_to_wgs84",
         "gcj02_to_bd09", "bd09_to_gcj02")


def geodetic(n):
    rng = np.random.default_rng(0)
    return np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-85, 85, n),
                            rng.uniform(-1e3, 1e4, n)])


def china_lonlat(n):
    rng = np.random.default_rng(0)
    return np.column_stack([rng.uniform(72, 137, n), rng.uniform(3, 55, n)])


def ridge_grid(vertices):
    """A square grid of about `vertices` vertices, two triangles a cell,
    folded along its middle by 90 degrees, so that crease splitting splits
    the ridge and keeps the rest shared: (pos float32 (N, 3), indices uint32)."""
    side = max(int(vertices ** 0.5), 2)
    u, v = np.meshgrid(np.linspace(0, 1, side), np.linspace(0, 1, side), indexing="ij")
    pos = np.column_stack([u.ravel(), v.ravel(), np.abs(u.ravel() - 0.5)]).astype(np.float32)
    corner = (np.arange(side - 1)[:, None] * side + np.arange(side - 1)[None, :]).ravel()
    a, b, c, d = corner, corner + side, corner + side + 1, corner + 1
    tris = np.column_stack([a, b, c, a, c, d]).astype(np.uint32)
    return pos, tris.ravel()


def nbytes(result):
    if isinstance(result, tuple):
        return sum(r.nbytes for r in result)
    return result.nbytes


# name -> (input size, inputs(n) -> tuple of arguments, call, interface
# temporaries in bytes for those arguments).
def _batch(function):
    return lambda args: function(*args)


CASES = {
    "geodetic2ecef_fast_array":
        ("rows", lambda n: (geodetic(n),), _batch(geokern.geodetic2ecef_fast_array), None),
    "geodetic_to_web_mercator_fast_array":
        ("rows", lambda n: (geodetic(n),), _batch(geokern.geodetic_to_web_mercator_fast_array),
         None),
    "web_mercator_to_geodetic_fast_array":
        ("rows", lambda n: (geokern.geodetic_to_web_mercator_fast_array(geodetic(n)),),
         _batch(geokern.web_mercator_to_geodetic_fast_array), None),
    "web_mercator_to_ecef_fast_array":
        ("rows", lambda n: (geokern.geodetic_to_web_mercator_fast_array(geodetic(n)),),
         _batch(geokern.web_mercator_to_ecef_fast_array), None),
    "ecef2geodetic_nparray_cy (heights)":
        ("rows", lambda n: (geokern.geodetic2ecef_fast_array(geodetic(n)), np.eye(3), True),
         _batch(geokern.ecef2geodetic_nparray_cy), lambda args: len(args[0]) * 3 * 8),
    "ecef2geodetic_nparray_cy (no heights)":
        ("rows", lambda n: (geokern.geodetic2ecef_fast_array(geodetic(n)), np.eye(3), False),
         _batch(geokern.ecef2geodetic_nparray_cy), lambda args: len(args[0]) * 3 * 8),
    "ecef2geodetic_list_cy":
        ("list_rows", lambda n: (geokern.geodetic2ecef_fast_array(geodetic(n)).tolist(),
                                 np.eye(3)),
         _batch(geokern.ecef2geodetic_list_cy), lambda args: 2 * len(args[0]) * 3 * 8),
    **{f"_native.{stem}": ("rows", lambda n: (china_lonlat(n),), _batch(getattr(_native, stem)),
                           None) for stem in CHINA},
    "calculate_smooth_normals_cy":
        ("smooth_vertices", ridge_grid,
         lambda args: geokern.calculate_smooth_normals_cy(*args, len(args[0])), None),
    "expand_flat_shaded_mesh_cy":
        ("expand_vertices", ridge_grid, _batch(geokern.expand_flat_shaded_mesh_cy), None),
    "expand_crease_normals_mesh_cy (60 deg)":
        ("expand_vertices", ridge_grid,
         lambda args: geokern.expand_crease_normals_mesh_cy(*args, 60.0), None),
}


def _status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def measure(name, n):
    """Runs in the child: the figures of one function on an input of size n."""
    _, make, call, interface = CASES[name]
    call(make(1000))  # warm-up: the OpenMP team, first-use state
    args = make(n)
    gc.collect()
    # Free heap memory that the input's making left resident goes back to
    # the system, so that the call cannot reuse it unseen by RSS.
    ctypes.CDLL(None).malloc_trim(0)
    # RSS: reset the high-water mark to the present resident size.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = _status("VmRSS")
    result = call(args)
    rss_extra = _status("VmHWM") - before
    result_bytes = nbytes(result)
    del result
    gc.collect()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    result = call(args)
    traced_extra = tracemalloc.get_traced_memory()[1] - traced_before
    tracemalloc.stop()
    return {"function": name, "n": n, "result": result_bytes,
            "interface": interface(args) if interface else 0,
            "rss_extra": rss_extra, "traced_extra": traced_extra}


def judge(m, bound=BOUND):
    """Adds the verdict: both peaks within result + interface + bound."""
    allowed = m["result"] + m["interface"] + bound
    worst = max(m["rss_extra"], m["traced_extra"])
    return {**m, "bound": bound, "over_result": worst - m["result"] - m["interface"],
            "met": worst <= allowed}


def measure_in_child(name, sizes):
    kind = CASES[name][0]
    result = subprocess.run([sys.executable, __file__, "--one", name, "--rows", str(sizes[kind])],
                            check=True, stdout=subprocess.PIPE, text=True)
    return judge(json.loads(result.stdout))


def sizes_for(rows=ROWS, list_rows=LIST_ROWS, smooth=SMOOTH_VERTICES, expand=EXPAND_VERTICES):
    return {"rows": rows, "list_rows": list_rows, "smooth_vertices": smooth,
            "expand_vertices": expand}


def rows(**sizes):
    """Every function's figures, each measured in a fresh process."""
    chosen = sizes_for(**sizes)
    return [measure_in_child(name, chosen) for name in CASES]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=None, help="input rows (default: "
                        f"{ROWS}; the list batch {LIST_ROWS}, the mesh functions grids of "
                        f"{SMOOTH_VERTICES} and {EXPAND_VERTICES} vertices)")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one, args.rows)))
        return
    sizes = {} if args.rows is None else {k: args.rows for k in ("rows", "list_rows", "smooth",
                                                                 "expand")}
    print("peak extra memory of one call, MiB; result + interface temporaries + "
          f"{BOUND // MiB} MiB allowed")
    print(report_table.format_memory(rows(**sizes)))


if __name__ == "__main__":
    main()
