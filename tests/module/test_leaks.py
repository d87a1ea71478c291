"""Reference counts and buffers: repeated calls, good and failing, hold nothing."""

import gc
import os
import sys
import tempfile

import numpy as np
import pytest

import geokern

# The slowest tests of the suite: tools/test -q -m "not slow" leaves them out.
pytestmark = pytest.mark.slow

ROWS = np.random.default_rng(1).uniform(-80, 80, (16, 3))
EYE3 = np.eye(3)
HOMOGENEOUS = np.hstack([ROWS, np.ones((16, 1))])
POS = ROWS.astype(np.float32)
IDX = np.random.default_rng(2).integers(0, 16, 30).astype(np.uint32)
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def rebound_test(conversion, verdict=False):
    """Runs `conversion` at Beijing with out_of_china_cpp rebound to a Python callable."""
    ours = geokern.out_of_china_cpp
    geokern.out_of_china_cpp = lambda lon, lat: float(verdict)
    try:
        return conversion(116.4, 39.9)
    finally:
        geokern.out_of_china_cpp = ours


FOOTPRINT = ROWS[:, :2].copy()
_OBJ_DIR = tempfile.TemporaryDirectory()


def obj_file(name, content):
    path = os.path.join(_OBJ_DIR.name, name)
    with open(path, "wb") as f:
        f.write(content)
    return path


OBJ = obj_file("good.obj", b"v 1 2 3\nv 4 5 6\nv 7 8 10\nf 1/1 2/1 3\nf 1 2 3\n")
OBJ_BAD_NUMBER = obj_file("number.obj", b"v 1 2 3\nv 4 5 \xd9\xa3x\n")
OBJ_BAD_TEXT = obj_file("text.obj", b"v 1 2 3\nv 4 5 6\n\xff")
OBJ_BAD_INDEX = obj_file("index.obj", b"v 1 2 3\nf 1 2 3\n")

CALLS = {
    "geodetic2ecef_cpp": lambda: geokern.geodetic2ecef_cpp(1.0, 2.0, 3.0),
    "geodetic2ecef_cpp kw": lambda: geokern.geodetic2ecef_cpp(1.0, lat=2.0, alt=3),
    "out_of_china_cpp": lambda: geokern.out_of_china_cpp(1.0, 2.0),
    "geodetic2ecef_fast_array": lambda: geokern.geodetic2ecef_fast_array(ROWS),
    "geodetic2ecef_fast_array None": lambda: geokern.geodetic2ecef_fast_array(None),
    "geodetic2ecef_cy": lambda: geokern.geodetic2ecef_cy(1.0, 2.0, 3.0),
    "geodetic2ecef_np_cy": lambda: geokern.geodetic2ecef_np_cy(ROWS),
    "geodetic2ecef_cy nan": lambda: geokern.geodetic2ecef_cy(1.0, float("nan"), 3.0),
    "ecef2geodetic_cy": lambda: geokern.ecef2geodetic_cy(6378137.0, 2.0, 3.0),
    "ecef2geodetic_nparray_cy default": lambda: geokern.ecef2geodetic_nparray_cy(HOMOGENEOUS),
    "ecef2geodetic_np_cy z": lambda: geokern.ecef2geodetic_np_cy(ROWS, EYE3, True),
    "ecef2geodetic_list_cy": lambda: geokern.ecef2geodetic_list_cy([[1.0, 2.0, 3.0]], EYE3),
    "ecef2geodetic_list_cy error": lambda: geokern.ecef2geodetic_list_cy([1.0, 2.0, 3.0], EYE3),
    "web_mercator_to_ecef_fast_array": lambda: geokern.web_mercator_to_ecef_fast_array(ROWS),
    "calculate_smooth_normals_cy": lambda: geokern.calculate_smooth_normals_cy(POS, IDX, 16),
    "expand_flat_shaded_mesh_cy": lambda: geokern.expand_flat_shaded_mesh_cy(POS, IDX),
    "expand_crease_normals_mesh_cy": lambda: geokern.expand_crease_normals_mesh_cy(ROWS, IDX),
    "expand_crease_normals_mesh_cy empty": lambda: geokern.expand_crease_normals_mesh_cy(POS, IDX[:2]),
    "mesh index": lambda: geokern.expand_crease_normals_mesh_cy(POS[:4], IDX),
    "mesh positions": lambda: geokern.calculate_smooth_normals_cy(None, IDX, 16),
    "wgs84_to_gcj02_cy": lambda: geokern.wgs84_to_gcj02_cy(116.4, 39.9),
    "wgs84_to_gcj02_cy outside": lambda: geokern.wgs84_to_gcj02_cy(1.0, 2.0),
    "bd09_to_wgs84_cy": lambda: geokern.bd09_to_wgs84_cy(116.4, lat=39.9),
    "wgs84_to_gcj02_cy rebound test": lambda: rebound_test(geokern.wgs84_to_gcj02_cy),
    "wgs84_to_bd09_cy failing test": lambda: rebound_test(geokern.wgs84_to_bd09_cy, "x"),
    "arity": lambda: geokern.geodetic2ecef_cpp(1.0),
    "keyword": lambda: geokern.out_of_china_cpp(1.0, 2.0, x=3),
    "conversion": lambda: geokern.geodetic_to_web_mercator_cpp(1.0, "2", 3.0),
    "dtype": lambda: geokern.geodetic2ecef_fast_array(ROWS.astype(np.float32)),
    "ndim": lambda: geokern.geodetic2ecef_fast_array(ROWS[0]),
    "columns": lambda: geokern.geodetic2ecef_fast_array(ROWS[:, :2]),
    "generate_obb_2d_from_points": lambda: geokern.generate_obb_2d_from_points(FOOTPRINT),
    "generate_obb_2d_from_points None": lambda: geokern.generate_obb_2d_from_points(None),
    "generate_obb_2d_from_obj_file": lambda: geokern.generate_obb_2d_from_obj_file(OBJ),
    "obj_file number": lambda: geokern.generate_obb_2d_from_obj_file(OBJ_BAD_NUMBER),
    "obj_file text": lambda: geokern.generate_obb_2d_from_obj_file(OBJ_BAD_TEXT),
    "obj_file index": lambda: geokern.generate_obb_2d_from_obj_file(OBJ_BAD_INDEX),
}

# Calls that take tens of microseconds run fewer times: (warm-up, measured
# calls, allowed growth in blocks).  Going through numpy and the io module,
# they leave up to a couple of hundred blocks in the interpreter's caches
# and free lists at any time, so they are allowed a quarter of a block per
# call: one leaked block per call still shows.
REPEATS = {name: (2_000, 2_000, 500) for name in CALLS if "obb" in name or "obj" in name}


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def run(call, n):
    for _ in range(n):
        try:
            call()
        except (TypeError, ValueError, IndexError, ZeroDivisionError):
            pass


def growth(call, repeats):
    """(allocated blocks, resident bytes) gained over `repeats` calls."""
    gc.collect()
    blocks, resident = sys.getallocatedblocks(), resident_bytes()
    run(call, repeats)
    gc.collect()
    return sys.getallocatedblocks() - blocks, resident_bytes() - resident


@pytest.mark.parametrize("name", CALLS)
def test_repeated_calls_do_not_grow_memory(name):
    call = CALLS[name]
    warm, repeats, allowed = REPEATS.get(name, (1000, 100_000, 50))
    run(call, warm)  # warm caches (traceback code objects, interned names)
    refs = sys.getrefcount(ROWS)
    # A leak grows memory in every round of calls.  What an earlier test
    # left behind (caches and heap pages of the interpreter, numpy and the
    # allocator settling) may grow it in one round, so a second round
    # decides.
    rounds = [growth(call, repeats)]
    # AddressSanitizer holds freed memory back in quarantine.
    limit = float("inf") if SANITIZED else 1 << 20
    if not (rounds[-1][0] < allowed and rounds[-1][1] < limit):
        rounds.append(growth(call, repeats))
    blocks, resident = rounds[-1]
    assert blocks < allowed and resident < limit, rounds
    assert sys.getrefcount(ROWS) == refs
