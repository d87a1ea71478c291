"""The one-point ECEF-to-geodetic solver."""

import math

import numpy as np
import pytest

import geokern
from shared import A, B, E

L = math.pi / 2 - np.finfo(np.float64).eps


def reference(x, y, z):
    """The closed-form solver, step by step, with numpy where the method uses it."""
    p2 = math.fma(x, x, y * y)
    z2 = z * z
    t = math.fma(-E, E, p2) + z2
    u2 = (t + np.hypot(t, (E + E) * z)) * 0.5
    u = math.sqrt(u2)
    q, w = np.hypot(x, y), np.hypot(u, E)
    if u == 0 or q == 0 or math.isnan(u) or math.isnan(q):
        beta = 0.0 if abs(z) <= 1e-8 else (math.pi / 2 if z > 0 else -math.pi / 2)
    else:
        beta = float(np.arctan(np.float64(((w / u) * z) / q)))
    s, c0 = math.sin(beta), math.cos(beta)
    if c0 == 0 or math.isnan(c0):
        raise ZeroDivisionError
    d = math.fma(-c0, E * E, A * w / c0)
    if d == 0 or math.isnan(d):
        raise ZeroDivisionError
    beta1 = beta + (math.fma(B, u, E * E) - A * w) * s / d
    phi = math.atan(math.tan(beta1) * (A / B))
    c = float(np.cos(np.float64(beta1)))
    if beta1 >= L:
        phi, c = math.pi / 2, 0.0
    if beta1 <= -L:
        phi, c = -math.pi / 2, 0.0
    h = float(np.hypot(math.fma(-B, math.sin(beta1), z), q - A * c))
    if math.fma(p2, 1.0 / (A * A), z2 * (1.0 / (B * B))) < 1.0:
        h = -h
    return [math.degrees(math.atan2(y, x)), math.degrees(phi), h]


@pytest.mark.parametrize("point, expected", [
    ((A, 0, 0), [0.0, 0.0, 0.0]),
    ((0, A, 0), [90.0, 0.0, 0.0]),
    ((-A, 0, 0), [180.0, 0.0, 0.0]),
    ((0, 0, B), [0.0, 90.0, 0.0]),
    ((0, 0, -B), [0.0, -90.0, 0.0]),
    ((0, 0, 0), [0.0, 0.0, -A]),                   # centre: fallback beta = 0, inside
    ((100e3, 0, 0), [0.0, 0.0, -(A - 100e3)]),     # within E of the centre
    ((0, 0, 100e3), [0.0, 90.0, -(B - 100e3)]),    # on the axis, inside
])
def test_special_points(point, expected):
    assert geokern.ecef2geodetic_cy(*point) == pytest.approx(expected, abs=1e-9)


@pytest.mark.parametrize("point, expected", [
    ((A + 1000.0, 0, 0), [0.0, 0.0, 1000.0]),
    ((0, 0, B + 100.0), [0.0, 90.0, 100.0]),
])
def test_heights_above_the_surface(point, expected):
    assert geokern.ecef2geodetic_cy(*point) == pytest.approx(expected, abs=1e-6)


def test_result_types():
    lon, lat, h = geokern.ecef2geodetic_cy(A, 0.0, 0.0)
    assert type(lon) is float and type(lat) is float and type(h) is np.float64


def random_points(n, seed, h_min=-1e3, h_max=1e6):
    rng = np.random.default_rng(seed)
    lon, lat = rng.uniform(-180, 180, n), rng.uniform(-90, 90, n)
    h = rng.uniform(h_min, h_max, n)
    return geokern.geodetic2ecef_fast_array(np.column_stack([lon, lat, h])), lon, lat, h


def test_matches_reference_bit_for_bit():
    points, *_ = random_points(3000, 1)
    extra = [(0, 0, 1e-9), (0, 0, -1e-9), (1e3, 0, 0), (0, 0, 1e7), (-1e6, -1e6, -1e6)]
    for p in list(points) + extra:
        assert geokern.ecef2geodetic_cy(*p) == reference(*p)


# The single first-order correction is exact to rounding near the surface;
# its latitude error grows with height (about 7e-8 degrees at 1000 km).
@pytest.mark.parametrize("h_min, h_max, lat_tol", [(-1e3, 3e5, 1e-9), (3e5, 1e6, 1e-7)])
def test_round_trip_on_a_global_grid(h_min, h_max, lat_tol):
    points, lon, lat, h = random_points(2000, 2, h_min, h_max)
    back = np.array([geokern.ecef2geodetic_cy(*p) for p in points])
    lon_err = (back[:, 0] - lon + 180) % 360 - 180
    pole = np.abs(lat) > 89.999999   # longitude is arbitrary at the poles
    assert np.abs(lon_err[~pole]).max() < 1e-9
    assert np.abs(back[:, 1] - lat).max() < lat_tol
    assert np.abs(back[:, 2] - h).max() < 1e-6


@pytest.mark.parametrize("point", [(math.nan, 0, 0), (math.inf, 0, 0), (1e200, 1e200, 0.0),
                                   (A, 0, math.nan)])
def test_non_finite_input_raises(point):
    with pytest.raises(ZeroDivisionError, match="^float division$") as info:
        geokern.ecef2geodetic_cy(*point)
    assert [e.name for e in info.traceback][-2:] == ["geokern.ecef2geodetic_cy",
                                                     "geokern.ecef2geodetic_cython"]


def test_infinite_z_on_the_axis_passes_the_guards():
    lon, lat, h = geokern.ecef2geodetic_cy(0.0, 0.0, math.inf)
    assert lon == 0.0 and math.isnan(lat) and math.isnan(h)


def test_degrees_is_looked_up_at_every_call(monkeypatch):
    monkeypatch.setattr(geokern, "degrees", lambda x: 42)
    assert geokern.ecef2geodetic_cy(A, 0, 0)[:2] == [42.0, 42.0]
    monkeypatch.delattr(geokern, "degrees")
    with pytest.raises(NameError, match="name 'degrees' is not defined"):
        geokern.ecef2geodetic_cy(A, 0, 0)
