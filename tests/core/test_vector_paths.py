"""The two builds of the batch row kernels: AVX-512 where the C library
reports it usable, AVX2 otherwise or under the glibc tunable that hides
AVX-512.  Both give the same bits, and nothing compiled for AVX-512 can be
merged by the linker with code that the other path runs."""

import pathlib
import re
import subprocess

import numpy as np
import pytest

import geokern
from geokern_tools import _native

ROOT = pathlib.Path(__file__).parents[2]
FORCE_AVX2 = {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX512F"}
V4_FLAGS = {"avx512f", "avx512dq", "avx512cd", "avx512bw", "avx512vl"}

needs_both = pytest.mark.skipif(_native.build_info()["vector_path"] != "avx512",
                                reason="this processor runs the AVX2 path only")


def cpu_flags():
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("flags"):
            return set(line.split(":", 1)[1].split())
    return set()


def test_avx512_runs_where_the_processor_has_it(python):
    expected = "avx512" if V4_FLAGS <= cpu_flags() else "avx2"
    assert _native.build_info()["vector_path"] == expected
    # geokern decides for itself, at import, the same way.
    assert python("from geokern_tools import _native; import geokern;"
                  "print(_native.build_info()['vector_path'])").strip() == expected


# ---------------------------------------------------------------------------
# No AVX-512 code under a shared name


def scope(symbol):
    """The enclosing namespaces and classes of an Itanium-mangled nested name
    (of the enclosing function, for a local entity such as a lambda), or None
    for any other kind of symbol."""
    symbol = symbol.removeprefix("__odr_asan.")   # the sanitizer's mark of a global
    m = re.match(r"_ZZ?N[rVK]*", symbol)
    if not m:
        return None
    names, rest = [], symbol[m.end():]
    while (m := re.match(r"\d+", rest)):
        length = int(m.group())
        names.append(rest[m.end():m.end() + length])
        rest = rest[m.end() + length:]
    # An operator's or a constructor's name is not a length-prefixed name.
    return names[:-1] if rest[:1] in ("E", "I") else names


@pytest.mark.parametrize("isa", ["avx2", "avx512"])
def test_row_kernels_define_names_in_their_own_namespace_only(isa):
    objects = sorted(ROOT.glob(f"build/*/CMakeFiles/geokern_rows_{isa}.dir/src/**/*.o"))
    if not objects:
        pytest.skip("no build directory with object files (run through tools/test)")
    for o in objects:
        table = subprocess.run(["nm", "--defined-only", str(o)], capture_output=True,
                               text=True, check=True).stdout
        # Local symbols (lower-case types) cannot be merged with others.
        shared = [line.split()[2] for line in table.splitlines()
                  if line.split()[1] not in "tdbrn"]
        assert shared, o
        stray = [s for s in shared if isa not in (scope(s) or [])]
        assert stray == [], f"{o.relative_to(ROOT)} defines names outside gk::...::{isa}"


# ---------------------------------------------------------------------------
# The same bits on both paths

RESULTS = """
import sys
import numpy as np
import geokern
from geokern_tools import _native
sys.path.insert(0, {tests!r})
from core.test_vector_paths import batch_results
np.savez({out!r}, path=_native.build_info()["vector_path"], **batch_results())
"""

SPECIALS = [np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, 1e-300, 1e-12, 1e14, 1e300, -1e300,
            90.0, -90.0, 180.0, 6378137.0, 6356752.31424518, -6356752.31424518]


def batch_results(n=1_000_003):
    """Every batch on n random rows, then rows mixing special values."""
    rng = np.random.default_rng(14)
    geo = np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-90, 90, n),
                           rng.uniform(-1e4, 1e6, n)])
    geo[::5, 0] *= 10.0 ** rng.integers(1, 16, len(geo[::5]))   # longitudes of many turns
    special = rng.choice(SPECIALS, (20000, 3))
    ordinary = rng.random((20000, 3)) < 0.5
    special[ordinary] = geo[:20000][ordinary]
    geo = np.vstack([geo, special])
    merc = geokern.geodetic_to_web_mercator_fast_array(geo)
    xyz = geokern.geodetic2ecef_fast_array(geo) * rng.uniform(0.01, 3, (len(geo), 1))
    xyz[-20000:] = special
    xyz[-100:, :2] = rng.choice([0.0, -0.0, 1e-13, 5e-324], (100, 2))   # the polar axis
    with np.errstate(all="ignore"):
        return {
            "geodetic2ecef_fast_array": geokern.geodetic2ecef_fast_array(geo),
            "geodetic_to_web_mercator_fast_array": merc,
            "web_mercator_to_geodetic_fast_array":
                geokern.web_mercator_to_geodetic_fast_array(merc),
            "web_mercator_to_ecef_fast_array": geokern.web_mercator_to_ecef_fast_array(merc),
            "ecef2geodetic_nparray_cy": geokern.ecef2geodetic_nparray_cy(xyz, np.eye(3)),
            "ecef2geodetic_nparray_cy heights":
                geokern.ecef2geodetic_nparray_cy(xyz, np.eye(3), True),
        }


@needs_both
def test_both_paths_give_the_same_bits(python, tmp_path):
    out = tmp_path / "avx2.npz"
    python(RESULTS.format(tests=str(ROOT / "tests"), out=str(out)), FORCE_AVX2)
    narrow = np.load(out)
    assert str(narrow["path"]) == "avx2"
    for name, wide in batch_results().items():
        differ = np.ascontiguousarray(wide).view(np.int64) != narrow[name].view(np.int64)
        both_nan = np.isnan(wide) & np.isnan(narrow[name])
        assert not (differ & ~both_nan).any(), (
            f"{name}: {np.count_nonzero(differ.any(axis=1))} rows differ between the paths")

