"""Local frames against pymap3d, and their headings and axes."""
import functools

import numpy as np
import pytest

pymap3d = pytest.importorskip("pymap3d")

from geokern_tools import (ecef_to_local, ecef_to_local_matrix, geodetic_to_local,
                           local_to_ecef, local_to_ecef_matrix, local_to_geodetic)

ORIGINS = [(116.4, 39.9, 44.0), (0.0, 0.0, 0.0), (-70.0, -89.99, 100.0), (179.9, 60.0, -20.0),
           (-180.0, 90.0, 0.0), (13.4, 52.5)]


@pytest.fixture(scope="module")
def points():
    return np.random.default_rng(2).uniform(-3000, 3000, (500, 3))


@pytest.mark.parametrize("origin", ORIGINS)
def test_agrees_with_pymap3d(points, origin):
    lon, lat, h = (*origin, 0.0)[:3]
    e, n, u = points.T
    ecef = np.stack(pymap3d.enu2ecef(e, n, u, lat, lon, h), axis=1)
    assert np.abs(local_to_ecef(points, origin) - ecef).max() < 1e-6
    assert np.abs(ecef_to_local(ecef, origin) - points).max() < 1e-6
    geo = np.stack(pymap3d.enu2geodetic(e, n, u, lat, lon, h), axis=1)[:, [1, 0, 2]]
    ours = local_to_geodetic(points, origin)
    # 1e-6 m is about 1e-11 degrees.
    assert np.abs(ours[:, 1] - geo[:, 1]).max() < 1e-11
    assert np.abs(np.cos(np.radians(geo[:, 1])) * ((ours[:, 0] - geo[:, 0] + 180) % 360 - 180)
                  ).max() < 1e-11
    assert np.abs(ours[:, 2] - geo[:, 2]).max() < 1e-6
    assert np.abs(geodetic_to_local(geo, origin) - points).max() < 1e-6


def test_heading_and_axes():
    origin = (7.0, 46.0, 500.0)
    east, north, up = np.eye(3)
    # ECEF coordinates are millions of metres: compare to the micrometre,
    # not relatively (numpy's default rtol would pass 40 m).
    same = functools.partial(np.allclose, rtol=0.0, atol=1e-6)
    # Heading 90: the frame's north axis points east, its east axis south.
    assert same(local_to_ecef(north, origin, heading=90), local_to_ecef(east, origin))
    assert same(local_to_ecef(east, origin, heading=90), local_to_ecef(-north, origin))
    assert same(local_to_ecef([3, 4, 5], origin, heading=-30),
                local_to_ecef([3, 4, 5], origin, heading=330))
    # Y-up: x east, y up, z south.
    model = np.array([[1.0, 2.0, 3.0]])
    assert same(local_to_ecef(model, origin, up="y", heading=20),
                local_to_ecef([[1.0, -3.0, 2.0]], origin, heading=20))
    assert local_to_ecef([1.0, 2.0, 3.0], origin).shape == (3,)
    # Any strides, read-only, other dtypes.
    wide = np.arange(40.0).reshape(10, 4)
    wide.flags.writeable = False
    assert np.array_equal(local_to_ecef(wide[:, 1:], origin),
                          local_to_ecef(np.ascontiguousarray(wide[:, 1:]), origin))
    assert np.array_equal(ecef_to_local(wide[:, 1:].astype(np.float32), origin),
                          ecef_to_local(wide[:, 1:], origin))


@pytest.mark.parametrize("up", ["y", "z"])
def test_matrices_are_the_point_functions(points, up):
    origin, heading = (-122.4, 37.8, 15.0), 123.0
    forward = local_to_ecef_matrix(origin, heading=heading, up=up)
    backward = ecef_to_local_matrix(origin, heading=heading, up=up)
    homogeneous = np.c_[points, np.ones(len(points))]
    ecef = (forward @ homogeneous.T).T[:, :3]
    assert np.abs(ecef - local_to_ecef(points, origin, heading=heading, up=up)).max() < 1e-8
    assert np.abs((backward @ forward) - np.eye(4)).max() < 1e-9
    assert np.array_equal(forward[3], [0, 0, 0, 1])


@pytest.mark.parametrize("origin,kwargs,error", [
    ((0.0, 91.0), {}, "latitude must lie in"),
    ((0.0, float("nan"), 0.0), {}, "origin must be finite"),
    ((1.0,), {}, "origin must be"),
    ((0.0, 0.0), {"up": "x"}, "up must be"),
    ((0.0, 0.0), {"heading": float("inf")}, "heading must be finite"),
])
def test_bad_frames(origin, kwargs, error):
    with pytest.raises(ValueError, match=error):
        local_to_ecef(np.zeros((1, 3)), origin, **kwargs)


def test_bad_points():
    with pytest.raises(ValueError, match="shape"):
        local_to_geodetic(np.zeros((4, 2)), (0, 0))
    with pytest.raises(TypeError, match="numbers"):
        local_to_ecef(np.array([["a", "b", "c"]]), (0, 0))
