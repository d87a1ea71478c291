"""The native China batches against geokern's per-point functions, bit for bit."""
import numpy as np
import pytest

import geokern
from geokern_tools import _native
from shared import bits, read_only

STEMS = ["wgs84_to_gcj02", "gcj02_to_wgs84", "wgs84_to_bd09", "bd09_to_wgs84",
         "gcj02_to_bd09", "bd09_to_gcj02"]
EDGE = [73.66, 135.05, 3.86, 53.55]


def positions():
    """A grid over the China box and beyond it, the box edges and their
    neighbouring doubles, and special values."""
    lon = np.linspace(60.0, 150.0, 61)
    lat = np.linspace(-5.0, 60.0, 41)
    grid = np.stack(np.meshgrid(lon, lat), axis=-1).reshape(-1, 2)
    edges = []
    for lo in (73.66, 135.05):
        for v in (np.nextafter(lo, -np.inf), lo, np.nextafter(lo, np.inf)):
            edges += [(v, 30.0), (v, 3.86), (v, 53.55)]
    for la in (3.86, 53.55):
        for v in (np.nextafter(la, -np.inf), la, np.nextafter(la, np.inf)):
            edges += [(100.0, v), (73.66, v)]
    special = [0.0, -0.0, np.nan, np.inf, -np.inf, 1e308, -1e-320]
    odd = [(a, b) for a in special for b in special + [39.9]] + [(116.4, b) for b in special]
    return np.concatenate([grid, np.array(edges), np.array(odd)])


def same_bits(a, b):
    return np.array_equal(bits(a), bits(b))


@pytest.mark.parametrize("stem", STEMS)
def test_rows_equal_the_module_functions_bit_for_bit(stem):
    pts = positions()
    got = getattr(_native, stem)(pts)
    scalar = getattr(geokern, stem + "_cy")
    want = np.array([list(scalar(lon, lat)) for lon, lat in pts.tolist()])
    assert got.shape == (len(pts), 2) and got.dtype == np.float64
    # NaN payloads may differ between paths; compare NaN as NaN, the rest by bits.
    nan = np.isnan(want)
    assert (np.isnan(got) == nan).all()
    assert same_bits(np.where(nan, 0.0, got), np.where(nan, 0.0, want))


@pytest.mark.parametrize("stem", ["wgs84_to_gcj02", "bd09_to_wgs84"])
def test_rebinding_the_module_box_test_does_not_reach_the_batches(stem, monkeypatch):
    pts = np.array([[116.4, 39.9], [2.35, 48.85]])
    before = getattr(_native, stem)(pts)
    monkeypatch.setattr(geokern, "out_of_china_cpp", lambda lon, lat: True)
    assert same_bits(getattr(_native, stem)(pts), before)


def test_layouts_out_argument_and_in_place():
    base = positions()[:500]
    wide = np.asfortranarray(np.c_[base, np.arange(len(base))])
    want = _native.wgs84_to_bd09(np.ascontiguousarray(base))
    wide.setflags(write=False)
    assert same_bits(_native.wgs84_to_bd09(wide), want)
    assert same_bits(_native.wgs84_to_bd09(base[::-1])[::-1], want)
    out = np.full((len(base), 3), 7.0)
    assert _native.wgs84_to_bd09(base, out) is out
    assert same_bits(out[:, :2], want) and (out[:, 2] == 7.0).all()
    inplace = base.copy()
    _native.wgs84_to_bd09(inplace, out=inplace)
    assert same_bits(inplace, want)
    assert _native.wgs84_to_bd09(np.empty((0, 2))).shape == (0, 2)


PTS = np.array([[116.4, 39.9]])


@pytest.mark.parametrize("call, error, match", [
    (lambda f: f(np.zeros((3, 1))), ValueError, "arr must have at least 2 columns"),
    (lambda f: f(np.zeros((3, 2), np.float32)), ValueError, "dtype mismatch"),
    (lambda f: f(np.zeros((3, 2)), np.zeros((2, 2))), ValueError, "out must have 3 rows, got 2"),
    (lambda f: f(np.zeros((3, 2)), np.zeros((4, 2))), ValueError, "out must have 3 rows, got 4"),
    (lambda f: f(np.zeros((3, 2)), np.zeros((3, 1))), ValueError,
     "out must have at least 2 columns"),
    (lambda f: f(np.zeros((2, 2)), read_only(np.zeros((2, 2)))), (BufferError, ValueError), None),
    (lambda f: f(PTS, points=PTS), TypeError, "unexpected keyword argument 'points'"),
])
def test_bad_arguments(call, error, match):
    with pytest.raises(error, match=match):
        call(_native.gcj02_to_bd09)


def test_keyword_arguments_and_build_info():
    assert same_bits(_native.wgs84_to_gcj02(arr=PTS), _native.wgs84_to_gcj02(PTS))
    assert same_bits(_native.wgs84_to_gcj02(PTS, out=PTS.copy()), _native.wgs84_to_gcj02(PTS))
    info = _native.build_info()
    assert set(info) == {"compiler", "simd", "vector_path", "openmp_threads"}
    assert isinstance(info["compiler"], str) and info["compiler"] and "AVX2" in info["simd"]
    assert isinstance(info["openmp_threads"], int) and info["openmp_threads"] >= 1
