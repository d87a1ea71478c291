"""ECEF-to-geodetic batches: the product with `transform`, the row method, defaults."""

import math
import re

import numpy as np
import pytest

import geokern
from shared import A, B, E

L = 1.5707963267948963
I3 = np.eye(3)
ARRAY_BATCHES = [geokern.ecef2geodetic_nparray_cy, geokern.ecef2geodetic_np_cy]


def reference(x, y, z):
    """The batch row method written out: (lon, lat, h)."""
    p2 = math.fma(x, x, y * y)
    z2 = z * z
    t = (p2 + z2) - E * E
    u = math.sqrt((np.hypot(t, (E + E) * z) + t) * 0.5)
    q, w = np.hypot(x, y), np.hypot(u, E)
    if q < 1e-12:
        beta, sb, cb = (math.pi / 2, 1.0, 6.123233995736766e-17) if z >= 0 else \
            (-math.pi / 2, -1.0, 6.123233995736766e-17)
    else:
        beta = math.atan((z / q) * (w / u))
        sb, cb = math.sin(beta), math.cos(beta)
    beta1 = beta + (math.fma(B, u, E * E) - A * w) * sb / math.fma(-cb, E * E, A * w / cb)
    if beta1 >= L:
        lat, c = 90.0, 0.0
    elif beta1 <= -L:
        lat, c = -90.0, 0.0
    else:
        lat, c = 57.29577951308232 * math.atan(math.tan(beta1) * (A / B)), math.cos(beta1)
    h = float(np.hypot(math.fma(-B, math.sin(beta1), z), math.fma(-A, c, q)))
    if math.fma(p2, 1.0 / (A * A), z2 * (1.0 / (B * B))) < 1.0:
        h = -h
    return [57.29577951308232 * math.atan2(y, x), lat, h]


def points(n=2000, seed=4):
    rng = np.random.default_rng(seed)
    geo = np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-90, 90, n),
                           rng.uniform(-1e3, 1e6, n)])
    return geokern.geodetic2ecef_fast_array(geo), geo


def test_rows_match_reference():
    # The batch evaluates its elementary functions sixteen rows at a time
    # (within 1 ulp), so it agrees with the scalar formulas to rounding.
    xyz, _ = points()
    extra = np.array([[0, 0, 0], [0, 0, -0.0], [0, 0, 1e-9], [1e-13, 0, 5.0], [-1e6, 2e6, -3e6]])
    xyz = np.vstack([xyz, extra])
    expected = np.array([reference(*p) for p in xyz])
    for batch in ARRAY_BATCHES:
        for z in (False, True):
            out = batch(xyz, I3, z)
            np.testing.assert_allclose(out[:, :2], expected[:, :2], rtol=0, atol=1e-12)
            assert out.shape[1] == (3 if z else 2)
        np.testing.assert_allclose(out[:, 2], expected[:, 2], rtol=0, atol=1e-8)
    lists = geokern.ecef2geodetic_list_cy(xyz.tolist(), I3)
    assert np.array_equal(lists, ARRAY_BATCHES[0](xyz, I3))


def test_round_trip_near_the_surface():
    xyz, geo = points(seed=5)
    near = geo[:, 2] < 3e5
    back = geokern.ecef2geodetic_nparray_cy(xyz, I3, True)
    lon_err = (back[:, 0] - geo[:, 0] + 180) % 360 - 180
    assert np.abs(lon_err[np.abs(geo[:, 1]) < 89.999999]).max() < 1e-9
    assert np.abs(back[near, 1] - geo[near, 1]).max() < 1e-9
    assert np.abs(back[:, 2] - geo[:, 2]).max() < 1e-6


@pytest.mark.parametrize("point, expected", [
    ((A, 0, 0), (0.0, 0.0, 0.0)),
    ((0, A, 0), (90.0, 0.0, 0.0)),
    ((0, 0, B), (0.0, 90.0, 0.0)),
    ((0, 0, -B), (0.0, -90.0, 0.0)),
    ((0, 0, 0), (0.0, 90.0, -B)),        # the centre counts as on the polar axis
])
def test_special_points(point, expected):
    assert tuple(geokern.ecef2geodetic_nparray_cy(np.array([point], float), I3, True)[0]) \
        == pytest.approx(expected, abs=1e-9)


def test_heights_and_nan_inside_the_focal_disc():
    rows = np.array([[A + 1000.0, 0, 0], [0, 0, B + 100.0], [100e3, 0, 0], [100e3, 0, -0.0]])
    out = geokern.ecef2geodetic_nparray_cy(rows, I3, True)
    assert out[0] == pytest.approx([0.0, 0.0, 1000.0], abs=1e-6)
    assert out[1] == pytest.approx([0.0, 90.0, 100.0], abs=1e-6)
    assert (out[2:, 0] == 0.0).all() and np.isnan(out[2:, 1:]).all()


def test_default_transform_takes_homogeneous_rows():
    xyz, _ = points(50)
    homogeneous = np.hstack([xyz, np.ones((50, 1))])
    for batch in ARRAY_BATCHES:
        assert np.array_equal(batch(homogeneous), batch(xyz, I3))
        with pytest.raises(ValueError, match="not aligned"):
            batch(xyz)


def test_transform_rotates_and_translates():
    m = np.eye(4)
    m[:3, :3] = [[0, 1, 0], [-1, 0, 0], [0, 0, 1]]   # row vectors: x -> y
    m[3, :3] = [0.0, 0.0, 100.0]
    out = geokern.ecef2geodetic_np_cy(np.array([[A, 0.0, -100.0, 1.0]]), m, 1)
    assert out.tolist() == [[90.0, 0.0, 0.0]]


def test_defaults():
    defaults = [f.__defaults__ for f in ARRAY_BATCHES]
    for d in defaults:
        matrix = np.asarray(d[0])
        assert d[1] is False and np.array_equal(matrix, np.eye(4)) and matrix.dtype == np.float64
        with pytest.raises(ValueError):
            matrix[0, 0] = 5.0                       # callers cannot change the default
    assert defaults[0][0] is ARRAY_BATCHES[0].__defaults__[0]   # made once, at import
    assert defaults[0][0] is not defaults[1][0]                  # one per function


@pytest.mark.parametrize("flag, columns", [(False, 2), (True, 3), ([], 2), ("x", 3), (None, 2)])
def test_return_z_by_truth_value(flag, columns):
    assert geokern.ecef2geodetic_nparray_cy(np.zeros((4, 3)), I3, flag).shape == (4, columns)


def test_list_batch_argument_types():
    point = [A, 0.0, 0.0]
    assert geokern.ecef2geodetic_list_cy([point], I3).tolist() == [[0.0, 0.0]]

    class Points(list):
        pass
    for bad, got in [(Points([point]), "Points"), ((point,), "tuple"), (np.array([point]),
                                                                          "numpy.ndarray")]:
        with pytest.raises(TypeError, match=re.escape(
                f"Argument 'pos_array' has incorrect type (expected list, got {got})")):
            geokern.ecef2geodetic_list_cy(bad, I3)
    with pytest.raises(ValueError, match=re.escape(
            "Buffer has wrong number of dimensions (expected 2, got 1)")):
        geokern.ecef2geodetic_list_cy(point, I3)
    with pytest.raises(TypeError):               # numpy's own error for None
        geokern.ecef2geodetic_list_cy(None, I3)


def test_view_arguments_are_checked_in_order():
    ro = np.zeros((2, 3))
    ro.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        geokern.ecef2geodetic_nparray_cy(ro, I3)
    ro_t = I3.copy()
    ro_t.setflags(write=False)
    with pytest.raises(ValueError, match="read-only"):
        geokern.ecef2geodetic_nparray_cy(np.zeros((2, 3)), ro_t)
    with pytest.raises(ValueError, match=re.escape(
            "Buffer dtype mismatch, expected 'DTYPE_FLOAT64_T' but got 'float'")):
        geokern.ecef2geodetic_list_cy([[1.0, 2.0, 3.0]], I3.astype(np.float32))
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        geokern.ecef2geodetic_np_cy(np.zeros(3))


def test_product_with_fewer_than_three_columns_is_rejected():
    with pytest.raises(ValueError, match=re.escape(
            "the product of pos_array and transform must have at least 3 columns, got 2")):
        geokern.ecef2geodetic_nparray_cy(np.zeros((2, 3)), np.eye(3)[:, :2].copy())


@pytest.mark.parametrize("product, exc, text", [
    (5.0, TypeError, "Cannot convert float to numpy.ndarray"),
    (np.zeros((2, 3), np.int64), ValueError, "expected 'float64_t' but got 'long'"),
    (np.zeros(3), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
])
def test_product_is_checked(monkeypatch, product, exc, text):
    class Numpy:
        float64 = np.float64
        empty = staticmethod(np.empty)

        @staticmethod
        def dot(a, b):
            return product
    monkeypatch.setattr(geokern, "np", Numpy)
    with pytest.raises(exc, match=re.escape(text)) as info:
        geokern.ecef2geodetic_nparray_cy(np.zeros((2, 3)), I3)
    assert [e.name for e in info.traceback][-2:] == ["geokern.ecef2geodetic_nparray_cy",
                                                     "geokern.ecef2geodetic_nparray_cython"]


def test_empty_inputs():
    with pytest.raises(ValueError, match="wrong number of dimensions"):   # np.dot([], m) is 1-D
        geokern.ecef2geodetic_list_cy([], np.zeros((0, 3)))
    assert geokern.ecef2geodetic_nparray_cy(np.zeros((0, 3)), I3).shape == (0, 2)
    assert geokern.ecef2geodetic_nparray_cy(np.zeros((0, 4)), return_z=True).shape == (0, 3)


def test_extreme_magnitudes_keep_their_hypotenuse():
    # Rows far outside the plain range of the vector hypot take the general
    # routine lane by lane, next to ordinary rows.
    xyz = np.array([[6378137.0, 0.0, 0.0], [1e200, 1e200, 0.0], [1e-200, 1e-200, 0.0],
                    [1e300, 0.0, 0.0], [3e5, 4e5, 0.0]] * 4)
    out = geokern.ecef2geodetic_nparray_cy(xyz, np.eye(3), True)
    assert out[0].tolist() == [0.0, 0.0, 0.0]
    assert out[1, 0] == 45.0 and out[2, 0] == 45.0 and out[3, 0] == 0.0
    assert np.array_equal(out[:5], out[5:10], equal_nan=True)
