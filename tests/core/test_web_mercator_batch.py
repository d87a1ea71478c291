"""Web Mercator batches, and the array frame shared by every (N, 3) batch."""

import math
import re

import numpy as np
import pytest

import geokern
from shared import A, ecef

D2R, R2D, QP, HP = 0.017453292519943295, 57.29577951308232, 0.7853981633974483, 1.5707963267948966


def to_mercator(lon, lat, h):
    return [A * D2R * lon, math.log(math.tan(math.fma(D2R * lat, 0.5, QP))) * A, h]


def latitude(y):
    return math.fma(math.atan(math.exp(1.0 / A * y)), 2.0, -HP)


def to_geodetic(x, y, h):
    return [1.0 / A * R2D * x, latitude(y) * R2D, h]


def to_ecef(x, y, h):
    return ecef(1.0 / A * x, latitude(y), h)


CASES = [(geokern.geodetic_to_web_mercator_fast_array, to_mercator, "geodetic"),
         (geokern.web_mercator_to_geodetic_fast_array, to_geodetic, "mercator"),
         (geokern.web_mercator_to_ecef_fast_array, to_ecef, "mercator")]
ROW_BATCHES = [c[0] for c in CASES] + [geokern.geodetic2ecef_fast_array,
                                       geokern.geodetic2ecef_np_cy, geokern.geodetic2ecef_cy_np]


def rows(kind, n=3000, seed=7):
    rng = np.random.default_rng(seed)
    h = rng.uniform(-1e3, 1e6, n)
    if kind == "geodetic":
        return np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-89.9, 89.9, n), h])
    return np.column_stack([rng.uniform(-2e7, 2e7, n), rng.uniform(-3e7, 3e7, n), h])


@pytest.mark.parametrize("batch, ref, kind", CASES, ids=lambda c: getattr(c, "__name__", ""))
def test_rows_match_reference(batch, ref, kind):
    # Elementary functions run sixteen rows at a time within 1 ulp.
    data = rows(kind)
    np.testing.assert_allclose(batch(data), np.array([ref(*r) for r in data]), rtol=1e-14,
                               atol=1e-9)


def test_special_rows():
    assert geokern.web_mercator_to_geodetic_fast_array(np.array([[0.0, 0.0, 7.0]])).tolist() \
        == [[0.0, 0.0, 7.0]]
    assert geokern.web_mercator_to_ecef_fast_array(np.zeros((1, 3))).tolist() == [[A, 0.0, 0.0]]
    x, y, _ = geokern.geodetic_to_web_mercator_fast_array(np.array([[180.0, 0.0, 0.0]]))[0]
    x_cpp, y_cpp, _ = geokern.geodetic_to_web_mercator_cpp(180.0, 0.0, 0.0)
    assert x == np.nextafter(x_cpp, 0) and y == y_cpp and y < 0


def test_latitudes_are_not_clamped():
    out = geokern.geodetic_to_web_mercator_fast_array(np.array([[0.0, -90.0, 0], [0.0, 90.0, 0]]))
    assert not np.isfinite(out[0, 1]) and np.isfinite(out[1, 1]) and out[1, 1] > 1e8


def test_direct_ecef_agrees_with_the_two_step_path():
    data = rows("mercator")
    direct = geokern.web_mercator_to_ecef_fast_array(data)
    chained = geokern.geodetic2ecef_fast_array(geokern.web_mercator_to_geodetic_fast_array(data))
    assert np.abs(direct - chained).max() < 1e-8 * np.abs(chained).max()


@pytest.mark.parametrize("batch", ROW_BATCHES, ids=lambda f: f.__name__)
def test_array_frame(batch):
    data = rows("geodetic", 20, 1)
    expected = batch(data)
    assert expected.shape == (20, 3) and expected.dtype == np.float64
    ro = np.asfortranarray(np.hstack([data, data]))
    ro.setflags(write=False)
    assert np.array_equal(batch(ro[:, :4]), expected)           # strided, read-only, 4 columns
    assert np.array_equal(batch(data[::-1])[::-1], expected)
    assert batch(None).shape == (0, 3)
    with pytest.raises(ValueError, match=re.escape("arr must have at least 3 columns, got 2")):
        batch(data[:, :2])
    with pytest.raises(ValueError, match=re.escape("expected 'const double' but got 'float'")):
        batch(data.astype(np.float32))

