"""The earth-centred conversions as other native modules call them."""

import ctypes

import numpy as np
import pytest

import geokern
from shared import Slice, slice_of

THREE = "PyObject *(double const , double const , double const )"


@pytest.mark.parametrize("name, function", [("geodetic2ecef_cython", geokern.geodetic2ecef_cy),
                                            ("ecef2geodetic_cython", geokern.ecef2geodetic_cy)])
def test_three_double_capsules(capsule, name, function):
    signature, f = capsule(name, ctypes.py_object, *[ctypes.c_double] * 3)
    assert signature == THREE
    assert f(6378137.0, 1.0, 2.0) == function(6378137.0, 1.0, 2.0)
    with pytest.raises(ZeroDivisionError):
        f(float("nan"), float("nan"), 0.0)


def test_slice_capsules(capsule):
    rows = np.array([[10.0, 20.0, 30.0], [-70.0, -33.0, 500.0]])
    signature, f = capsule("geodetic2ecef_cython_np_mv", ctypes.py_object, Slice)
    assert signature == "PyObject *(__Pyx_memviewslice)"
    xyz = f(slice_of(rows))
    assert np.array_equal(xyz, geokern.geodetic2ecef_np_cy(rows))

    signature, f = capsule("ecef2geodetic_nparray_cython", ctypes.py_object, Slice, Slice,
                           ctypes.c_bool)
    assert signature == "PyObject *(__Pyx_memviewslice, __Pyx_memviewslice, bool)"
    eye = np.eye(3)
    assert np.array_equal(f(slice_of(xyz), slice_of(eye), True),
                          geokern.ecef2geodetic_nparray_cy(xyz, eye, True))

    signature, f = capsule("ecef2geodetic_list_cython", ctypes.py_object, ctypes.py_object, Slice)
    assert signature == "PyObject *(PyObject *, __Pyx_memviewslice)"
    assert np.array_equal(f(xyz.tolist(), slice_of(eye)),
                          geokern.ecef2geodetic_list_cy(xyz.tolist(), eye))
    with pytest.raises(ValueError, match="at least 3 columns"):
        f([[1.0, 2.0]], slice_of(np.eye(2)))


def test_publication_order():
    names = list(geokern.__pyx_capi__)
    ours = ["ecef2geodetic_list_cython", "geodetic2ecef_cython_np_mv",
            "ecef2geodetic_nparray_cython", "ecef2geodetic_cython",
            "geodetic2ecef_custom_ellipsoid_cython", "geodetic2ecef_cython"]
    assert [n for n in names if n in ours] == ours
    assert names[-3:] == ours[-3:]
