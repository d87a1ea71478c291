"""The parallel geodetic-to-ECEF batch: special points and the reference formula."""

import numpy as np
import pytest

import geokern
from shared import geodetic_to_ecef as reference

def one(lon, lat, h):
    return geokern.geodetic2ecef_fast_array(np.array([[lon, lat, h]], dtype=float))[0]


def test_special_points():
    assert list(one(0, 0, 0)) == [6378137.0, 0.0, 0.0]
    x, y, z = one(90, 0, 0)
    assert 1e-10 < x < 1e-9 and y == 6378137.0 and z == 0.0
    x, y, z = one(180, 0, 0)
    assert x == -6378137.0 and 1e-10 < abs(y) < 1e-9
    for sign in (1, -1):
        x, y, z = one(0, sign * 90, 0)
        assert 1e-10 < x < 1e-9 and y == 0.0 and z == sign * 6356752.31424518


def test_non_finite_latitude_gives_nan_row():
    assert np.isnan(one(0, float("nan"), 0)).all()
    assert np.isnan(one(0, float("inf"), 0)).all()


def test_global_grid_matches_reference():
    lon, lat, h = np.meshgrid(np.linspace(-180, 180, 37), np.linspace(-90, 90, 19),
                              [-1e3, 0.0, 1e6])
    rows = np.column_stack([lon.ravel(), lat.ravel(), h.ravel()])
    expected = np.array([reference(*r) for r in rows])
    np.testing.assert_allclose(geokern.geodetic2ecef_fast_array(rows), expected, rtol=0,
                               atol=1e-8)
