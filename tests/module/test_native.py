"""What other native code sees: exported symbols and __pyx_capi__ capsules."""

import ctypes
import shutil
import subprocess

import pytest

import geokern

EXPORTED = {"PyInit_geokern", "_Z7rad2degd", "_Z7deg2radd", "_Z21webMercatorToGeodeticddd",
            "_Z21geodeticToWebMercatorddd", "_Z20geodetic2ecef_degreeddd", "_Z12out_of_chinadd"}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_only_the_init_and_core_functions_are_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", geokern.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert {line.split()[-1] for line in out.splitlines() if line.strip()} == EXPORTED


def test_custom_ellipsoid_capsule_returns_none(capsule):
    signature, f = capsule("geodetic2ecef_custom_ellipsoid_cython", ctypes.py_object,
                      ctypes.c_double, ctypes.c_double, ctypes.c_double)
    assert signature == "PyObject *(double const , double const , double const )"
    assert f(1.0, 2.0, 3.0) is None
    assert f(float("nan"), 0.0, -1.0) is None
