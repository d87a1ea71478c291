"""BD-09: the rotation against a reference from the formulas, compositions, special values."""

import math

import numpy as np
import pytest

import geokern
from shared import bd09_to_gcj02 as ref_bd09_to_gcj02
from shared import gcj02_to_bd09 as ref_gcj02_to_bd09
from shared import metres

rng = np.random.default_rng(4)
POINTS = [(0.0, 0.0), (116.4, 39.9), (-180.0, -90.0), (180.0, 90.0), (0.0065, 0.006)] + [
    tuple(p) for p in np.column_stack([rng.uniform(-180, 180, 30),
                                       rng.uniform(-90, 90, 30)]).tolist()]


@pytest.mark.parametrize("lon, lat", POINTS)
def test_matches_reference(lon, lat):
    bd = geokern.gcj02_to_bd09_cy(lon, lat)
    gcj = geokern.bd09_to_gcj02_cy(lon, lat)
    assert type(bd) is list and type(gcj) is list
    np.testing.assert_allclose(bd, ref_gcj02_to_bd09(lon, lat), rtol=1e-15, atol=1e-15)
    np.testing.assert_allclose(gcj, ref_bd09_to_gcj02(lon, lat), rtol=1e-15, atol=1e-15)


@pytest.mark.parametrize("lon, lat", [(116.4, 39.9), (121.47, 31.23), (0.0, 0.0), (-74.0, 40.7)])
def test_compositions_go_through_gcj02(lon, lat):
    gcj = geokern.wgs84_to_gcj02_cy(lon, lat)
    assert geokern.wgs84_to_bd09_cy(lon, lat) == geokern.gcj02_to_bd09_cy(*gcj)
    bd = geokern.wgs84_to_bd09_cy(lon, lat)
    # The China test of the way back is made on the GCJ-02 position.
    back = geokern.bd09_to_wgs84_cy(*bd)
    assert back == geokern.gcj02_to_wgs84_cy(*geokern.bd09_to_gcj02_cy(*bd))
    assert type(back) is list
    assert metres(back, (lon, lat)) < 2.5  # 0.05 in Beijing


def test_exact_results():
    assert geokern.gcj02_to_bd09_cy(0.0, 0.0) == [0.0065, 0.006]
    assert geokern.wgs84_to_bd09_cy(0.0, 0.0) == [0.0065, 0.006]  # outside China, still shifted
    out = geokern.bd09_to_gcj02_cy(0.0065, 0.006)
    assert out == [0.0, 0.0] and math.copysign(1, out[1]) == -1.0


@pytest.mark.parametrize("name", ["gcj02_to_bd09_cy", "bd09_to_gcj02_cy", "wgs84_to_bd09_cy",
                                  "bd09_to_wgs84_cy"])
def test_non_finite_values_flow_through(name):
    out = getattr(geokern, name)(float("nan"), 30.0)
    assert math.isnan(out[0]) and math.isnan(out[1])
    assert len(getattr(geokern, name)(float("inf"), 30.0)) == 2
