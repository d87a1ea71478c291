"""Core conversions against a reference computed from the stated formulas."""

import ctypes
import math
import struct

import numpy as np
import pytest

import geokern
from shared import ecef


def bits(hexits):
    return struct.unpack(">d", bytes.fromhex(hexits))[0]


# The core functions' constants, by their IEEE-754 encodings.
R2D = bits("404CA5DC1A63C1F8")
D2R = bits("3F91DF46A2529D39")
INV_R = bits("3E850B1CAC0206BA")
A = bits("415854A640000000")
B = bits("41583FC4141C97D0")
A2 = bits("42C27FD94C2FB880")
ONE_MINUS_E2 = bits("3FEFC928DE1C02D6")
QUARTER_PI = bits("3FE921FB54442D18")
MINUS_HALF_PI = bits("BFF921FB54442D18")


def ref_web_mercator_to_geodetic(x, y, z):
    lat = math.fma(math.atan(math.exp(y * INV_R)), 2.0, MINUS_HALF_PI) * R2D
    return [(x * INV_R) * R2D, lat, z]


def ref_geodetic_to_web_mercator(lon, lat, alt):
    phi = lat * D2R
    return [(lon * D2R) * A, math.log(math.tan(math.fma(phi, 0.5, QUARTER_PI))) * A, alt]


def ref_geodetic2ecef(lon, lat, alt):
    # The core functions' own b and 1 - e^2.
    return ecef(lon * D2R, lat * D2R, alt, b=B, b2_over_a2=ONE_MINUS_E2)


rng = np.random.default_rng(7)
GEODETIC = [(0.0, 0.0, 0.0), (180.0, 0.0, 0.0), (-180.0, 45.0, 100.0), (0.0, 90.0, 0.0),
            (0.0, -90.0, 0.0), (116.4, 39.9, 44.0), (-0.0, -0.0, -0.0)] + [
    tuple(p) for p in np.column_stack([rng.uniform(-180, 180, 40), rng.uniform(-89.9, 89.9, 40),
                                       rng.uniform(-1e3, 1e6, 40)]).tolist()]
MERCATOR = [(0.0, 0.0, 5.0), (2.0e7, -2.0e7, 0.0)] + [
    tuple(p) for p in np.column_stack([rng.uniform(-2.1e7, 2.1e7, 40), rng.uniform(-3e7, 3e7, 40),
                                       rng.uniform(-1e3, 1e3, 40)]).tolist()]


@pytest.mark.parametrize("point", GEODETIC)
def test_geodetic_functions_match_reference(point):
    assert geokern.geodetic2ecef_cpp(*point) == ref_geodetic2ecef(*point)
    if point[1] > -90:
        assert geokern.geodetic_to_web_mercator_cpp(*point) == ref_geodetic_to_web_mercator(*point)


@pytest.mark.parametrize("point", MERCATOR)
def test_web_mercator_to_geodetic_matches_reference(point):
    assert geokern.web_mercator_to_geodetic_cpp(*point) == ref_web_mercator_to_geodetic(*point)


def test_special_points():
    assert geokern.web_mercator_to_geodetic_cpp(0, 0, 5) == [0.0, 0.0, 5.0]
    x, y, alt = geokern.geodetic_to_web_mercator_cpp(0, 0, 5)
    assert (x, alt) == (0.0, 5.0)
    assert -1e-9 < y < 0  # tan of the rounded pi/4 is just below 1
    x180, y180, _ = geokern.geodetic_to_web_mercator_cpp(180, 0, 0)
    assert x180 == 180 * D2R * 6378137.0 and y180 == y
    assert math.isfinite(geokern.geodetic_to_web_mercator_cpp(0, 90, 0)[1])
    assert not math.isfinite(geokern.geodetic_to_web_mercator_cpp(0, -90, 0)[1])
    assert geokern.geodetic2ecef_cpp(0, 0, 0) == [6378137.0, 0.0, 0.0]
    px, py, pz = geokern.geodetic2ecef_cpp(0, 90, 0)
    assert abs(px) < 1e-9 and py == 0.0 and pz == pytest.approx(6356752.314245179, abs=1e-8)


@pytest.mark.parametrize("lat", np.linspace(-85, 85, 35))
def test_web_mercator_round_trip(lat):
    lon = lat * 2.1
    back = geokern.web_mercator_to_geodetic_cpp(*geokern.geodetic_to_web_mercator_cpp(lon, lat, 7.0))
    assert back[0] == pytest.approx(lon, rel=4e-16, abs=1e-13)
    assert back[1] == pytest.approx(lat, rel=1e-14, abs=1e-12)
    assert back[2] == 7.0


NAN = float("nan")


@pytest.mark.parametrize("lon, lat, outside", [
    (116.4, 39.9, False), (73.66, 3.86, False), (135.05, 53.55, False),
    (73.65, 30, True), (100, 53.56, True), (135.06, 30, True), (100, 3.85, True),
    (NAN, 30, True), (100, NAN, True), (NAN, NAN, True), (float("inf"), 30, True),
])
def test_out_of_china(lon, lat, outside):
    assert geokern.out_of_china_cpp(lon, lat) is outside


# The core functions are exported from the extension's shared library under
# their C++ names, callable from any native code.
LIB = ctypes.CDLL(geokern.__file__)


def core(symbol, restype, *argtypes):
    f = getattr(LIB, symbol)
    f.restype, f.argtypes = restype, list(argtypes)
    return f


def test_exported_scalar_functions():
    assert core("_Z7rad2degd", ctypes.c_double, ctypes.c_double)(1.0) == R2D
    assert core("_Z7deg2radd", ctypes.c_double, ctypes.c_double)(1.0) == D2R
    oc = core("_Z12out_of_chinadd", ctypes.c_bool, ctypes.c_double, ctypes.c_double)
    assert (oc(116.4, 39.9), oc(NAN, 39.9)) == (False, True)


@pytest.mark.parametrize("symbol, reference, point", [
    ("_Z20geodetic2ecef_degreeddd", ref_geodetic2ecef, (116.4, 39.9, 44.0)),
    ("_Z21geodeticToWebMercatorddd", ref_geodetic_to_web_mercator, (116.4, 39.9, 44.0)),
    ("_Z21webMercatorToGeodeticddd", ref_web_mercator_to_geodetic, (1.2e7, 4.8e6, 3.0)),
])
def test_exported_vector_functions(symbol, reference, point):
    # A std::vector<double> comes back through a hidden result pointer: three
    # words (begin, end, capacity end).  The 24 bytes of the vector leak.
    out = (ctypes.c_void_p * 3)()
    core(symbol, None, ctypes.c_void_p, *[ctypes.c_double] * 3)(out, *point)
    assert out[1] - out[0] == 3 * 8
    assert list((ctypes.c_double * 3).from_address(out[0])) == reference(*point)
