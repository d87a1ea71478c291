"""The iterative inverses out of GCJ-02 and BD-09 (convert's default) and
what they do at the China box edge."""
import numpy as np
import pytest

from geokern_tools import convert
from shared import gcj02_shift, gcj02_to_bd09, inside_china

EAST, WEST, SOUTH, NORTH = 135.05, 73.66, 3.86, 53.55


def grid(margin):
    """Positions over the China box, `margin` degrees inside its edges."""
    lon = np.linspace(WEST + margin, EAST - margin, 181)
    lat = np.linspace(SOUTH + margin, NORTH - margin, 121)
    return np.stack(np.meshgrid(lon, lat), axis=-1).reshape(-1, 2)


@pytest.mark.parametrize("datum", ["gcj02", "bd09"])
def test_round_trips_within_1e_9_degrees_where_the_forward_map_is_continuous(datum):
    wgs = np.r_[grid(0.01), [[116.4, 39.9], [121.47, 31.23], [114.17, 22.32], [105.0, 35.0]]]
    back = convert(convert(wgs, "wgs84", datum), datum, "wgs84")
    assert np.abs(back - wgs).max() < 1e-9
    one_step = convert(convert(wgs, "wgs84", datum), datum, "wgs84", china_inverse="one-step")
    assert np.abs(one_step - wgs).max() > 1e-6  # what the iteration improves on


def test_bd09_to_gcj02_is_iterated_too():
    gcj = grid(0.5)
    bd = np.array([gcj02_to_bd09(lon, lat) for lon, lat in gcj.tolist()])
    assert np.abs(convert(bd, "bd09", "gcj02") - gcj).max() < 1e-12


def test_outside_the_box_and_nan_come_back_unchanged():
    pts = np.array([[2.35, 48.85], [WEST - 1e-9, 30.0], [100.0, NORTH + 1e-9], [np.nan, 30.0]])
    np.testing.assert_array_equal(convert(pts, "gcj02", "wgs84"), pts)


def test_within_one_step_of_the_edge():
    # Shifted across the east edge: the GCJ-02 position is outside the box,
    # so it comes back as it is (the shift is not undone).
    wgs = np.array([[EAST - 1e-4, 30.0]])
    gcj = convert(wgs, "wgs84", "gcj02")
    assert not inside_china(*gcj[0]) and gcj[0, 0] > EAST
    np.testing.assert_array_equal(convert(gcj, "gcj02", "wgs84"), gcj)
    # Inside the box next to the west edge, where the shift moves every
    # position east: no WGS-84 position maps there.  The result solves the
    # offset formula without the box test: a position outside the box.
    gap = np.array([[WEST + 1e-4, 30.0]])
    assert convert(np.array([[WEST, 30.0]]), "wgs84", "gcj02")[0, 0] > gap[0, 0]
    solved = convert(gap, "gcj02", "wgs84")[0]
    assert not inside_china(*solved)
    assert np.abs(np.array(gcj02_shift(*solved)) - gap[0]).max() < 1e-9
