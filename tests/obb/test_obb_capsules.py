"""The two native exports, called as another extension module would."""

import ctypes
import os

import numpy as np
import pytest

import geokern
from shared import Slice, slice_of


def test_points_export_reads_the_slice_it_is_given(capsule):
    signature, box = capsule("generate_obb_2d_from_points_cython", ctypes.py_object, Slice)
    assert signature == "PyObject *(__Pyx_memviewslice)"
    wide = np.random.default_rng(3).normal(size=(50, 4))
    view = wide[::-2, 2:0:-1]  # negative strides, memory held by `wide`
    expected = geokern.generate_obb_2d_from_points(np.ascontiguousarray(view))
    assert box(slice_of(view, owner=memoryview(wide))) == expected
    with pytest.raises(TypeError):  # an empty slice is None to numpy, which refuses it
        box(Slice(None, None, (0,) * 8, (0,) * 8, (-1,) * 8))


def test_obj_file_export(capsule, tmp_path):
    signature, from_file = capsule("generate_obb_2d_from_obj_file_cython", ctypes.py_object,
                                   ctypes.py_object)
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
