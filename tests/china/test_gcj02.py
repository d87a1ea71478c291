"""GCJ-02: the offset against a reference from the formulas, result types, round trips."""

import math

import numpy as np
import pytest

import geokern
from shared import gcj02_shift as ref_shift, inside_china as ref_inside, metres


def close(got, want, ulps=1):
    return all(abs(g - w) <= ulps * math.ulp(w) for g, w in zip(got, want, strict=True))


LONS = sorted({*np.linspace(70.0, 140.0, 15).tolist(), 73.66, 135.05, 73.65, 135.06})
LATS = sorted({*np.linspace(0.0, 57.0, 13).tolist(), 3.86, 53.55, 3.85, 53.56})
rng = np.random.default_rng(11)
GRID = [(lon, lat) for lon in LONS for lat in LATS] + [
    tuple(p) for p in np.column_stack([rng.uniform(73.66, 135.05, 300),
                                       rng.uniform(3.86, 53.55, 300)]).tolist()]


@pytest.mark.parametrize("lon, lat", GRID)
def test_forward_and_inverse_match_reference(lon, lat):
    forward = geokern.wgs84_to_gcj02_cy(lon, lat)
    inverse = geokern.gcj02_to_wgs84_cy(lon, lat)
    assert type(inverse) is list
    if ref_inside(lon, lat):
        assert type(forward) is tuple and close(forward, ref_shift(lon, lat))
        m = ref_shift(lon, lat)
        assert close(inverse, [(lon + lon) - m[0], (lat + lat) - m[1]], ulps=2)
    else:
        assert forward == [lon, lat] and inverse == [lon, lat]


@pytest.mark.parametrize("where, lon, lat, bound", [
    ("Beijing", 116.4, 39.9, 0.1), ("Urumqi", 87.6, 43.8, 0.1), ("Shanghai", 121.47, 31.23, 2.5),
    ("Hong Kong", 114.17, 22.3, 2.0),
])
def test_round_trip_error(where, lon, lat, bound):
    back = geokern.gcj02_to_wgs84_cy(*geokern.wgs84_to_gcj02_cy(lon, lat))
    assert metres(back, (lon, lat)) < bound


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize("lon, lat", [(0.0, 0.0), (-0.0, -0.0), (NAN, 30.0), (100.0, NAN),
                                      (INF, 30.0), (-INF, INF), (1e308, -1e308)])
def test_outside_positions_come_back_unchanged(lon, lat):
    for f in (geokern.wgs84_to_gcj02_cy, geokern.gcj02_to_wgs84_cy):
        out = f(lon, lat)
        assert type(out) is list
        np.testing.assert_array_equal(out, [lon, lat])
        assert [math.copysign(1, v) for v in out] == [math.copysign(1, lon), math.copysign(1, lat)]


# regression: a latitude cosine derived by angle sums came out as exactly 0 at -270
# and lost its relative accuracy at the poles.
@pytest.mark.parametrize("lon, lat", [(100.0, 90.0), (100.0, -90.0), (100.0, -270.0),
                                      (100.0, 89.99999999), (-180.0, 0.0), (180.0, 60.0)])
def test_shift_anywhere_when_the_box_test_is_replaced(monkeypatch, lon, lat):
    monkeypatch.setattr(geokern, "out_of_china_cpp", lambda lon, lat: False)
    np.testing.assert_allclose(geokern.wgs84_to_gcj02_cy(lon, lat), ref_shift(lon, lat),
                               rtol=1e-13)
