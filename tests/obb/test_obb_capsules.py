"""The two native exports, called as another extension module would."""

import ctypes
import os

import numpy as np
import pytest

import geokern


class Slice(ctypes.Structure):
    """The by-value array view record of the exports."""
    _fields_ = [("memview", ctypes.py_object), ("data", ctypes.c_void_p),
                ("shape", ctypes.c_ssize_t * 8), ("strides", ctypes.c_ssize_t * 8),
                ("suboffsets", ctypes.c_ssize_t * 8)]


def export(name, *argtypes):
    capsule = geokern.__pyx_capi__[name]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    signature = get_name(capsule)
    function = ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(get_pointer(capsule, signature))
    return signature.decode(), function


def slice_of(array, owner):
    s = Slice(owner, array.ctypes.data)
    s.shape[:array.ndim] = array.shape
    s.strides[:array.ndim] = array.strides
    s.suboffsets[:] = [-1] * 8
    return s


def test_points_export_reads_the_slice_it_is_given():
    signature, box = export("generate_obb_2d_from_points_cython", Slice)
    assert signature == "PyObject *(__Pyx_memviewslice)"
    wide = np.random.default_rng(3).normal(size=(50, 4))
    view = wide[::-2, 2:0:-1]
    assert box(slice_of(view, memoryview(wide))) == \
        geokern.generate_obb_2d_from_points(np.ascontiguousarray(view))


def test_points_export_of_an_empty_slice_fails_in_numpy():
    _, box = export("generate_obb_2d_from_points_cython", Slice)
    empty = Slice(None, None)
    empty.suboffsets[:] = [-1] * 8
    with pytest.raises(TypeError):
        box(empty)


def test_obj_file_export(tmp_path):
    signature, from_file = export("generate_obb_2d_from_obj_file_cython", ctypes.py_object)
    assert signature == "PyObject *(PyObject *)"
    path = tmp_path / "t.obj"
    path.write_text("v 1 2 3\nv 4 5 6\nv 7 8 10\nf 1 2 3\n")
    assert from_file(str(path)) == geokern.generate_obb_2d_from_obj_file(str(path))


def test_obj_file_export_will_not_take_a_descriptor():
    _, from_file = export("generate_obb_2d_from_obj_file_cython", ctypes.py_object)
    read_end, write_end = os.pipe()
    try:
        with pytest.raises(TypeError, match="expected str, got int"):
            from_file(read_end)
        os.fstat(read_end)  # still open
    finally:
        os.close(read_end)
        os.close(write_end)
