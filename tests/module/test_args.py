"""Argument matching, scalar conversions and traceback entries."""

import re
import traceback

import numpy as np
import pytest

import geokern

g2e = geokern.geodetic2ecef_cpp


@pytest.mark.parametrize("call, text", [
    (lambda: g2e(1, 2), "geodetic2ecef_cpp() takes exactly 3 positional arguments (2 given)"),
    (lambda: g2e(1, 2, 3, 4), "geodetic2ecef_cpp() takes exactly 3 positional arguments (4 given)"),
    (lambda: g2e(), "geodetic2ecef_cpp() takes exactly 3 positional arguments (0 given)"),
    (lambda: geokern.geodetic2ecef_fast_array(),
     "geodetic2ecef_fast_array() takes exactly 1 positional argument (0 given)"),
    (lambda: geokern.out_of_china_cpp(1, 2, 3),
     "out_of_china_cpp() takes exactly 2 positional arguments (3 given)"),
    # With keywords, the count given is the position of the first missing argument.
    (lambda: geokern.geodetic_to_web_mercator_cpp(lon=1, alt=2),
     "geodetic_to_web_mercator_cpp() takes exactly 3 positional arguments (1 given)"),
    (lambda: g2e(lat=1, alt=2), "geodetic2ecef_cpp() takes exactly 3 positional arguments (0 given)"),
    (lambda: g2e(1, 2, 3, 4, lon=1), "geodetic2ecef_cpp() takes exactly 3 positional arguments (4 given)"),
    # A missing argument is reported before a repeated or unknown keyword.
    (lambda: g2e(1, lon=2), "geodetic2ecef_cpp() takes exactly 3 positional arguments (1 given)"),
    (lambda: g2e(1, 2, 3, lon=4), "geodetic2ecef_cpp() got multiple values for keyword argument 'lon'"),
    (lambda: g2e(1, 2, alt=3, speed=4), "geodetic2ecef_cpp() got an unexpected keyword argument 'speed'"),
    (lambda: geokern.geodetic2ecef_fast_array(array=None),
     "geodetic2ecef_fast_array() takes exactly 1 positional argument (0 given)"),
    (lambda: geokern.geodetic2ecef_fast_array(None, arr=None),
     "geodetic2ecef_fast_array() got multiple values for keyword argument 'arr'"),
    # Functions with defaults give a bound.
    (lambda: geokern.ecef2geodetic_nparray_cy(),
     "ecef2geodetic_nparray_cy() takes at least 1 positional argument (0 given)"),
    (lambda: geokern.ecef2geodetic_np_cy(1, 2, 3, 4),
     "ecef2geodetic_np_cy() takes at most 3 positional arguments (4 given)"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError, match=f"^{re.escape(text)}$"):
        call()


@pytest.mark.parametrize("kwargs", [
    {"lon": 10.0, "lat": 20.0, "alt": 30.0},
    {"alt": 30.0, "lon": 10.0, "lat": 20.0},
    {"lat": 20.0, "alt": 30.0, "lon": 10.0},
])
def test_keywords_match_positions(kwargs):
    assert g2e(**kwargs) == g2e(10.0, 20.0, 30.0)
    assert g2e(10.0, **{k: v for k, v in kwargs.items() if k != "lon"}) == g2e(10.0, 20.0, 30.0)


class Floaty:
    def __float__(self):
        return 20.0


class Indexy:
    def __index__(self):
        return 20


@pytest.mark.parametrize("value", [20, True, np.float64(20.0), np.float32(20.0), np.int64(20),
                                   Floaty(), Indexy()])
def test_scalar_conversions_accept_numbers(value):
    expected = g2e(10.0, float(value), 30.0)
    assert g2e(10.0, value, 30.0) == expected


@pytest.mark.parametrize("value, exc, text", [
    ("20", TypeError, "must be real number, not str"),
    (None, TypeError, "must be real number, not NoneType"),
    (10 ** 400, OverflowError, "int too large to convert to float"),
])
def test_scalar_conversion_errors_are_the_interpreters(value, exc, text):
    with pytest.raises(exc, match=re.escape(text)):
        g2e(10.0, value, 30.0)


def test_first_bad_argument_stops_the_call():
    class Boom:
        def __float__(self):
            raise AssertionError("must not be converted")
    with pytest.raises(TypeError, match="not str"):
        g2e("x", Boom(), 0)


@pytest.mark.parametrize("call, name", [
    (lambda: g2e(1, 2), "geokern.geodetic2ecef_cpp"),
    (lambda: g2e(1, "x", 2), "geokern.geodetic2ecef_cpp"),
    (lambda: geokern.out_of_china_cpp(lon=1, lat=2, x=3), "geokern.out_of_china_cpp"),
    (lambda: geokern.geodetic2ecef_fast_array(np.zeros(3)), "geokern.geodetic2ecef_fast_array"),
])
def test_failures_carry_a_traceback_entry(call, name):
    with pytest.raises(Exception) as info:
        call()
    entry = traceback.extract_tb(info.value.__traceback__)[-1]
    assert entry.name == name
    assert entry.filename == "geokern"
    assert entry.lineno > 0
