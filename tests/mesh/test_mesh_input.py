"""Mesh functions: argument rules and input that no vertex row backs."""

import re

import numpy as np
import pytest

import geokern
from shared import QUAD_POS

smooth = geokern.calculate_smooth_normals_cy
flat = geokern.expand_flat_shaded_mesh_cy
crease = geokern.expand_crease_normals_mesh_cy

POS = QUAD_POS


def indices(*values):
    return np.array(values, np.uint32)


@pytest.mark.parametrize("call, text", [
    (lambda: smooth(POS, indices(0, 1, 4), 4), "index 4 out of range for 4 vertices"),
    (lambda: smooth(POS, indices(0, 1, 3), 3), "index 3 out of range for 3 vertices"),
    (lambda: smooth(POS[:2], indices(0, 1, 2), 4), "index 2 out of range for 2 vertices"),
    (lambda: smooth(POS, indices(0, 2**31, 1), 4), "index 2147483648 out of range for 4 vertices"),
    (lambda: flat(POS, indices(0, 1, 2, 9, 0, 0)), "index 9 out of range for 4 vertices"),
    (lambda: flat(POS, indices(2**32 - 1, 1, 2)), "index 4294967295 out of range for 4 vertices"),
    (lambda: crease(POS, indices(0, 1, 2, 0, 3, 7)), "index 7 is out of bounds for axis 0 with size 4"),
    (lambda: crease(POS[:0], indices(0, 1, 2)), "index 0 is out of bounds for axis 0 with size 0"),
])
def test_indices_beyond_the_vertices(call, text):
    with pytest.raises(IndexError, match=re.escape(text)):
        call()


@pytest.mark.parametrize("call, text", [
    (lambda: smooth(None, indices(0, 1, 2), 3), "pos is None but indices holds 1 triangle"),
    (lambda: flat(None, indices(0, 1, 2, 2)), "pos is None but indices holds 1 triangle"),
    (lambda: smooth(POS[:, :2], indices(0, 1, 2), 4), "pos must have at least 3 columns, got 2"),
    (lambda: flat(POS[:, :2], indices(0, 1, 2)), "pos must have at least 3 columns, got 2"),
    (lambda: crease(POS[:, :2], indices(0, 1, 2)), "pos must have 3 columns, got 2"),
    (lambda: crease(np.hstack([POS, POS]), indices(0, 1, 2)), "pos must have 3 columns, got 6"),
    (lambda: crease(POS[0], indices(0, 1, 2)), "Buffer has wrong number of dimensions"),
])
def test_positions_that_cannot_back_triangles(call, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        call()


@pytest.mark.parametrize("args, text", [
    ((None, indices(0, 1, 2)), "Argument 'pos' has incorrect type (expected numpy.ndarray, got NoneType)"),
    ((POS.tolist(), [0, 1, 2]), "Argument 'pos' has incorrect type (expected numpy.ndarray, got list)"),
    ((POS, (0, 1, 2)), "Argument 'indices' has incorrect type (expected numpy.ndarray, got tuple)"),
    ((None, None, "wide"), "must be real number, not str"),   # the angle is converted first
    ((POS, indices(0, 1, 2), 1, 2), "takes at most 3 positional arguments (4 given)"),
    ((POS,), "takes at least 2 positional arguments (1 given)"),
])
def test_crease_argument_errors(args, text):
    with pytest.raises(TypeError, match=re.escape(text)):
        crease(*args)


def test_crease_accepts_array_subclasses_and_keywords():
    class Sub(np.ndarray):
        pass
    result = crease(indices=indices(0, 1, 2).view(Sub), pos=POS.view(Sub), crease_angle_deg=True)
    assert len(result[0]) == 3


@pytest.mark.parametrize("call, error", [
    (lambda: smooth(POS, indices(0, 1, 2), "4"), TypeError),
    (lambda: smooth(POS, indices(0, 1, 2), 2**31), OverflowError),
    (lambda: smooth(POS.astype(np.float64), indices(0, 1, 2), 4), ValueError),
    (lambda: flat(POS, indices(0, 1, 2).astype(np.int32)), ValueError),
    (lambda: flat(POS, indices(0, 1, 2)[None]), ValueError),
])
def test_native_argument_errors(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("values, dtype", [
    ([0, 1, 2, 3, 2, 1], np.int64), ([0, 1, 2], np.uint8), ([0, 1, 2], np.float64),
    ([0, 1, 2], bool),
])
def test_crease_takes_indices_that_convert_exactly(values, dtype):
    got = crease(POS, np.array(values, dtype))
    expected = crease(POS, np.array(values, dtype).astype(np.uint32))
    for a, b in zip(got, expected):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("values, dtype", [
    ([0, 1, 2**32 + 1], np.int64), ([0, 1, -4294967295], np.int64), ([0, 1, -1], np.int32),
    ([0, 1, 3.9], np.float64), ([0, 1, np.nan], np.float32), ([0, 1, 2**63], np.uint64),
])
@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")
def test_crease_rejects_indices_that_would_wrap(values, dtype):
    with pytest.raises(ValueError, match="hold values that are not uint32 vertex numbers"):
        crease(POS, np.array(values, dtype))


# regression: issue 20 (vertex_count is only the number of result rows)
@pytest.mark.parametrize("pos, idx, count", [
    (POS[:3], indices(0, 2, 1), 7),       # one clockwise triangle, rows beyond pos
    (POS, indices(0, 2, 1), 3),           # a row of pos left out of the result
    (None, None, 10),                     # no triangles
])
def test_smooth_vertex_count_is_the_number_of_rows(pos, idx, count):
    used = 0 if idx is None else 3
    expected = [[0, 0, -1]] * used + [[0, 0, 1]] * (count - used)
    np.testing.assert_array_equal(smooth(pos, idx, count), expected)
