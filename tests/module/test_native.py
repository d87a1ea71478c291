"""What other native code sees: exported symbols and __pyx_capi__ capsules."""

import ctypes
import os
import shutil
import subprocess

import numpy as np

import pytest

import geokern

EXPORTED = {"PyInit_geokern", "_Z7rad2degd", "_Z7deg2radd", "_Z21webMercatorToGeodeticddd",
            "_Z21geodeticToWebMercatorddd", "_Z20geodetic2ecef_degreeddd", "_Z12out_of_chinadd"}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_only_the_init_and_core_functions_are_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", geokern.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert {line.split()[-1] for line in out.splitlines() if line.strip()} == EXPORTED


def capsule_function(name, restype, *argtypes):
    capsule = geokern.__pyx_capi__[name]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    signature = get_name(capsule)
    return signature.decode(), ctypes.PYFUNCTYPE(restype, *argtypes)(get_pointer(capsule, signature))


def test_custom_ellipsoid_capsule_returns_none():
    signature, f = capsule_function("geodetic2ecef_custom_ellipsoid_cython", ctypes.py_object,
                                    ctypes.c_double, ctypes.c_double, ctypes.c_double)
    assert signature == "PyObject *(double const , double const , double const )"
    assert f(1.0, 2.0, 3.0) is None
    assert f(float("nan"), 0.0, -1.0) is None


class Slice(ctypes.Structure):
    """The by-value array view record of the exports (__Pyx_memviewslice)."""
    _fields_ = [("memview", ctypes.py_object), ("data", ctypes.c_void_p),
                ("shape", ctypes.c_ssize_t * 8), ("strides", ctypes.c_ssize_t * 8),
                ("suboffsets", ctypes.c_ssize_t * 8)]


def slice_of(array, owner):
    s = Slice(owner, array.ctypes.data)
    s.shape[:array.ndim] = array.shape
    s.strides[:array.ndim] = array.strides
    s.suboffsets[:] = [-1] * 8
    return s


def test_obb_points_capsule_reads_the_slice_it_is_given():
    signature, box = capsule_function("generate_obb_2d_from_points_cython", ctypes.py_object, Slice)
    assert signature == "PyObject *(__Pyx_memviewslice)"
    wide = np.random.default_rng(3).normal(size=(50, 4))
    view = wide[::-2, 2:0:-1]
    assert box(slice_of(view, memoryview(wide))) == \
        geokern.generate_obb_2d_from_points(np.ascontiguousarray(view))
    empty = Slice(None, None)
    empty.suboffsets[:] = [-1] * 8
    with pytest.raises(TypeError):  # None reaches numpy, which refuses it
        box(empty)


def test_obb_obj_file_capsule(tmp_path):
    signature, from_file = capsule_function("generate_obb_2d_from_obj_file_cython",
                                            ctypes.py_object, ctypes.py_object)
    assert signature == "PyObject *(PyObject *)"
    path = tmp_path / "t.obj"
    path.write_text("v 1 2 3\nv 4 5 6\nv 7 8 10\nf 1 2 3\n")
    assert from_file(str(path)) == geokern.generate_obb_2d_from_obj_file(str(path))
    # A descriptor is refused, not opened (and closed) as a file.
    read_end, write_end = os.pipe()
    try:
        with pytest.raises(TypeError, match="expected str, got int"):
            from_file(read_end)
        os.fstat(read_end)
    finally:
        os.close(read_end)
        os.close(write_end)
