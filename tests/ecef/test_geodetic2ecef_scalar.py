"""Scalar and serial geodetic-to-ECEF paths: angles through `radians`, the guard."""

import math

import numpy as np
import pytest

import geokern
from shared import A, geodetic_to_ecef as reference

SERIAL = [geokern.geodetic2ecef_np_cy, geokern.geodetic2ecef_cy_np]


def grid():
    lon, lat, h = np.meshgrid(np.linspace(-180, 180, 25), np.linspace(-90, 90, 13),
                              [-1e3, 0.0, 8848.0, 1e6])
    return np.column_stack([lon.ravel(), lat.ravel(), h.ravel()])


def test_scalar_matches_reference_bit_for_bit():
    for row in grid():
        result = geokern.geodetic2ecef_cy(*row)
        assert type(result) is list and result == reference(*row)


@pytest.mark.parametrize("serial", SERIAL)
def test_serial_rows_are_the_scalar_results(serial):
    rows = grid()
    result = serial(rows)
    assert result.dtype == np.float64 and result.shape == rows.shape
    assert result.tolist() == [geokern.geodetic2ecef_cy(*r) for r in rows]


@pytest.mark.parametrize("lon, lat, expected", [
    (0, 0, (6378137.0, 0.0, 0.0)),
    (90, 0, (None, 6378137.0, 0.0)),
    (0, 90, (None, 0.0, 6356752.31424518)),
    (0, -90, (None, 0.0, -6356752.31424518)),
])
def test_special_points(lon, lat, expected):
    result = geokern.geodetic2ecef_cy(lon, lat, 0)
    for got, want in zip(result, expected):
        if want is None:
            assert 1e-10 < got < 1e-9   # cos(pi/2) is not exactly zero
        else:
            assert got == want


@pytest.mark.parametrize("lat", [math.nan, math.inf, -math.inf])
def test_non_finite_latitude_raises_on_scalar_paths(lat):
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        geokern.geodetic2ecef_cy(0.0, lat, 0.0)
    for serial in SERIAL:
        with pytest.raises(ZeroDivisionError) as info:
            serial(np.array([[1.0, 2.0, 3.0], [0.0, lat, 0.0]]))
        names = [e.name for e in info.traceback]
        assert names[-2:] == ["geokern.geodetic2ecef_cython_np_mv", "geokern.geodetic2ecef_cython"]
    assert np.isnan(geokern.geodetic2ecef_fast_array(np.array([[0.0, lat, 0.0]]))).all()


def test_non_finite_longitude_or_height_flows_through():
    assert all(math.isnan(v) for v in geokern.geodetic2ecef_cy(math.nan, 10.0, 0.0)[:2])
    assert geokern.geodetic2ecef_cy(0.0, 10.0, math.inf)[0] == math.inf


def test_rebinding_radians_changes_results(monkeypatch):
    seen = []

    def fake(x):
        seen.append(x)
        return 0.0
    monkeypatch.setattr(geokern, "radians", fake)
    assert geokern.geodetic2ecef_cy(10.0, 20.0, 5.0) == [A + 5.0, 0.0, 0.0]
    assert seen == [10.0, 20.0]
    assert geokern.geodetic2ecef_np_cy(np.array([[1.0, 2.0, 0.0]])).tolist() == [[A, 0.0, 0.0]]
    monkeypatch.setattr(geokern, "radians", lambda x: "not a number")
    with pytest.raises(TypeError):
        geokern.geodetic2ecef_cy(1.0, 2.0, 3.0)
    monkeypatch.delattr(geokern, "radians")
    with pytest.raises(NameError, match="name 'radians' is not defined"):
        geokern.geodetic2ecef_cy(1.0, 2.0, 3.0)


@pytest.mark.parametrize("serial", SERIAL)
def test_serial_result_is_made_with_np_zeros(monkeypatch, serial):
    made = []

    class Numpy:
        double = np.double

        def zeros(self, shape, dtype):
            made.append((shape, dtype))
            return np.zeros(shape, dtype)
    monkeypatch.setattr(geokern, "np", Numpy())
    serial(np.zeros((2, 3)))
    assert made == [((2, 3), np.double)]

