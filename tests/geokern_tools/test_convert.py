"""geokern_tools.convert on arrays: every pair of reference systems, column
rules, masked arrays, errors."""
import itertools

import numpy as np
import pytest

import geokern
from geokern_tools import CRS_NAMES, convert
from shared import bits, read_only


def per_point(function):
    def step(a):
        out = a.copy()
        out[:, :2] = [list(function(lon, lat)) for lon, lat in a[:, :2].tolist()]
        return out
    return step


# Each conversion as the module's own functions do it, on three columns.
TO_WGS84 = {
    "ecef": lambda a: geokern.ecef2geodetic_nparray_cy(a.copy(), np.eye(3), True),
    "webmercator": geokern.web_mercator_to_geodetic_fast_array,
    "gcj02": per_point(geokern.gcj02_to_wgs84_cy),
    "bd09": per_point(geokern.bd09_to_wgs84_cy),
    "wgs84": lambda a: a,
}
FROM_WGS84 = {
    "ecef": geokern.geodetic2ecef_fast_array,
    "webmercator": geokern.geodetic_to_web_mercator_fast_array,
    "gcj02": per_point(geokern.wgs84_to_gcj02_cy),
    "bd09": per_point(geokern.wgs84_to_bd09_cy),
    "wgs84": lambda a: a,
}
DIRECT = {
    ("webmercator", "ecef"): geokern.web_mercator_to_ecef_fast_array,
    ("gcj02", "bd09"): per_point(geokern.gcj02_to_bd09_cy),
    ("bd09", "gcj02"): per_point(geokern.bd09_to_gcj02_cy),
}


def reference(points, src, dst):
    if src == dst:
        return points
    if (src, dst) in DIRECT:
        return DIRECT[(src, dst)](points)
    return FROM_WGS84[dst](TO_WGS84[src](points))


WGS84 = np.array([[116.4074, 39.9042, 44.0], [121.47, 31.23, -3.5], [2.3522, 48.8566, 35.0],
                  [-74.006, 40.7128, 10.0], [73.66, 3.86, 0.0], [135.05, 53.55, 1e4],
                  [0.0, 0.0, 0.0], [-179.9, -60.0, 250.0]])


def sample(src):
    if src == "ecef":
        return geokern.geodetic2ecef_fast_array(WGS84)
    if src == "webmercator":
        return geokern.geodetic_to_web_mercator_fast_array(WGS84)
    return WGS84.copy()


@pytest.mark.parametrize("src, dst", list(itertools.product(CRS_NAMES, repeat=2)))
def test_every_pair_equals_the_module_functions(src, dst):
    pts = sample(src)
    got = convert(pts, src, dst, china_inverse="one-step")
    assert got.dtype == np.float64 and got.flags.c_contiguous and got.shape == pts.shape
    assert got is not pts and not np.shares_memory(got, pts)
    np.testing.assert_array_equal(bits(got), bits(reference(pts, src, dst)))


@pytest.mark.parametrize("src, dst", [(s, d) for s, d in itertools.product(CRS_NAMES, repeat=2)
                                      if s != "ecef"])
def test_two_columns_mean_height_zero(src, dst):
    pts = sample(src)
    pts[:, 2] = 0.0
    got = convert(pts[:, :2], src, dst)
    full = convert(pts, src, dst)
    k = 3 if dst == "ecef" else 2
    assert got.shape == (len(pts), k)
    np.testing.assert_array_equal(bits(got), bits(full[:, :k]))


@pytest.mark.parametrize("make", [
    lambda a: a.astype(np.float32),
    lambda a: np.asfortranarray(a),
    lambda a: np.c_[a, a][:, :3],
    lambda a: a.tolist(),
    lambda a: a.astype(">f8"),
    lambda a: read_only(a.copy()),
])
@pytest.mark.parametrize("src, dst", [("wgs84", "bd09"), ("ecef", "gcj02")])
def test_any_float_dtype_and_memory_order(make, src, dst):
    pts = make(sample(src))
    keep = np.array(pts, dtype=np.float64)
    got = convert(pts, src, dst)
    assert got.dtype == np.float64 and got.flags.c_contiguous and got.flags.writeable
    np.testing.assert_array_equal(bits(got), bits(convert(keep, src, dst)))
    np.testing.assert_array_equal(np.array(pts, dtype=np.float64), keep)  # input left alone


@pytest.mark.parametrize("alias, name", [
    (4979, "wgs84"), ("epsg:4978", "ecef"), (np.int64(3857), "webmercator"),
    ("3857", "webmercator"), (" Gcj02 ", "gcj02"), ("BD09", "bd09"),
])
def test_names_and_epsg_aliases(alias, name):
    pts = sample(name)
    np.testing.assert_array_equal(convert(pts, alias, "ecef"), convert(pts, name, "ecef"))


def test_empty_input():
    assert convert(np.empty((0, 2)), "bd09", "ecef").shape == (0, 3)
    assert convert(np.empty((0, 3)), "ecef", "gcj02").shape == (0, 3)


def test_masked_rows_stay_masked():
    pts = np.ma.MaskedArray(WGS84.copy(), mask=False)
    pts[1, 2] = np.ma.masked
    pts.data[1, 2] = 1e20  # what lies under the mask does not matter
    got = convert(pts, "wgs84", "ecef")
    assert isinstance(got, np.ma.MaskedArray)
    np.testing.assert_array_equal(got.mask, np.repeat([[False], [True]] + [[False]] * 6, 3, 1))
    want = convert(WGS84, "wgs84", "ecef")
    np.testing.assert_array_equal(got.data[~got.mask.any(1)], np.delete(want, 1, axis=0))
    assert isinstance(convert(np.ma.MaskedArray(WGS84[:, :2]), 4326, 3857), np.ma.MaskedArray)


@pytest.mark.parametrize("points, src, dst, error, match", [
    (WGS84, "wgs72", "ecef", ValueError, r"unsupported reference system EPSG:4322 \(WGS 72\)"),
    (WGS84, "EPSG:", "ecef", ValueError, "unknown reference system"),
    (WGS84, True, "ecef", TypeError, "name, an EPSG code"),
    (WGS84, None, "ecef", TypeError, "needs src for coordinate arrays"),
    (WGS84, "wgs84", None, TypeError, "needs dst"),
    (WGS84[0], "wgs84", "ecef", ValueError, r"shape \(N, 2\) or \(N, 3\), got \(3,\)"),
    (np.zeros((2, 4)), "wgs84", "ecef", ValueError, r"got \(2, 4\)"),
    (WGS84[:, :2], "ecef", "wgs84", ValueError, "ecef points must have 3 columns"),
    ([["a", "b"]], "wgs84", "ecef", TypeError, "real numbers"),
    (np.zeros((2, 2), complex), "wgs84", "ecef", TypeError, "real numbers"),
])
def test_errors(points, src, dst, error, match):
    if src == "wgs72":
        pytest.importorskip("pyproj")  # names a system geokern does not know
    with pytest.raises(error, match=match):
        convert(points, src, dst)


def test_the_inverse_is_one_of_two():
    with pytest.raises(ValueError, match="china_inverse must be 'iterative' or 'one-step'"):
        convert(WGS84, "gcj02", "wgs84", china_inverse="exact")
