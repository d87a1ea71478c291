"""China datum entry points: arguments, the looked-up box test, tracebacks, capsules."""

import builtins
import ctypes

import numpy as np
import pytest

import geokern
from shared import traceback_names

ENTRY_POINTS = ["wgs84_to_gcj02_cy", "wgs84_to_bd09_cy", "gcj02_to_wgs84_cy", "gcj02_to_bd09_cy",
                "bd09_to_wgs84_cy", "bd09_to_gcj02_cy"]
# Those that pass through the forward GCJ-02 conversion and its box test.
TESTED = ["wgs84_to_gcj02_cy", "wgs84_to_bd09_cy", "gcj02_to_wgs84_cy", "bd09_to_wgs84_cy"]
BEIJING = (116.4, 39.9)


def traced(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value, traceback_names(info.value)


@pytest.fixture
def no_test(monkeypatch):
    monkeypatch.delattr(geokern, "out_of_china_cpp")


@pytest.mark.parametrize("name, chain", [
    ("wgs84_to_gcj02_cy", ["wgs84_to_gcj02"]),
    ("gcj02_to_wgs84_cy", ["gcj02_to_wgs84"]),
    ("wgs84_to_bd09_cy", ["wgs84_to_bd09", "wgs84_to_gcj02"]),
    ("bd09_to_wgs84_cy", ["bd09_to_wgs84", "gcj02_to_wgs84"]),
])
def test_deleted_test_raises_name_error(no_test, name, chain):
    error, entries = traced(lambda: getattr(geokern, name)(*BEIJING))
    assert type(error) is NameError and str(error) == "name 'out_of_china_cpp' is not defined"
    assert entries == ["geokern." + n for n in [name, *chain, "_gcj02_and_wgs84"]]


def test_deleted_test_falls_back_to_builtins(no_test, monkeypatch):
    geokern.gcj02_to_bd09_cy(*BEIJING)  # needs no box test
    monkeypatch.setattr(builtins, "out_of_china_cpp", lambda lon, lat: True, raising=False)
    assert geokern.wgs84_to_gcj02_cy(*BEIJING) == list(BEIJING)


def test_rebound_test_decides_and_sees_floats(monkeypatch):
    seen = []
    def inside_everywhere(*args):
        seen.append(args)
        return np.False_
    shifted = geokern.wgs84_to_gcj02_cy(*BEIJING)
    monkeypatch.setattr(geokern, "out_of_china_cpp", inside_everywhere)
    assert geokern.wgs84_to_gcj02_cy(116, 40) == geokern.wgs84_to_gcj02_cy(116.0, 40.0)
    assert seen[0] == (116.0, 40.0) and all(type(v) is float for v in seen[0])
    assert type(geokern.wgs84_to_gcj02_cy(0.0, 0.0)) is tuple
    monkeypatch.setattr(geokern, "out_of_china_cpp", lambda lon, lat: [0])  # truthy
    assert geokern.wgs84_to_gcj02_cy(*BEIJING) == list(BEIJING)
    assert geokern.gcj02_to_wgs84_cy(*BEIJING) == list(BEIJING)
    assert geokern.bd09_to_wgs84_cy(*BEIJING) == geokern.bd09_to_gcj02_cy(*BEIJING)
    monkeypatch.undo()
    assert geokern.wgs84_to_gcj02_cy(*BEIJING) == shifted


@pytest.mark.parametrize("lon, lat", [BEIJING, (73.66, 3.86), (135.05, 53.55), (73.65, 30.0),
                                      (float("nan"), 30.0), (0.0, 0.0)])
def test_wrapped_test_gives_the_same_results(monkeypatch, lon, lat):
    direct = [getattr(geokern, name)(lon, lat) for name in TESTED]
    ours = geokern.out_of_china_cpp
    monkeypatch.setattr(geokern, "out_of_china_cpp", lambda lon, lat: ours(lon, lat))
    np.testing.assert_array_equal([getattr(geokern, name)(lon, lat) for name in TESTED], direct)


class Undecided:
    def __bool__(self):
        raise ValueError("undecided")


@pytest.mark.parametrize("test, exc", [
    (lambda lon, lat: Undecided(), ValueError),
    (lambda lon: True, TypeError),
    (geokern.geodetic2ecef_cpp, TypeError),  # one of ours, but not the box test
])
def test_rebound_test_errors_propagate(monkeypatch, test, exc):
    monkeypatch.setattr(geokern, "out_of_china_cpp", test)
    for name in TESTED:
        error, entries = traced(lambda: getattr(geokern, name)(*BEIJING))
        assert type(error) is exc and entries[0] == "geokern." + name
        assert "geokern._gcj02_and_wgs84" in entries


@pytest.mark.parametrize("name", ["wgs84_to_gcj02", "wgs84_to_bd09", "gcj02_to_wgs84",
                                  "gcj02_to_bd09", "bd09_to_wgs84", "bd09_to_gcj02"])
def test_capsules(capsule, name):
    signature, f = capsule(name, ctypes.py_object, ctypes.c_double, ctypes.c_double)
    assert signature == "PyObject *(double const , double const )"
    assert f(*BEIJING) == getattr(geokern, name + "_cy")(*BEIJING)
    assert type(f(*BEIJING)) is type(getattr(geokern, name + "_cy")(*BEIJING))


def test_capsule_reports_failure(capsule, no_test):
    _, f = capsule("wgs84_to_gcj02", ctypes.py_object, ctypes.c_double, ctypes.c_double)
    with pytest.raises(NameError, match="out_of_china_cpp"):
        f(*BEIJING)
