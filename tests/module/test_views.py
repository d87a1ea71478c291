"""Array arguments and results, through the first batch function that uses them."""

import re

import numpy as np
import pytest

import geokern
from shared import read_only

batch = geokern.geodetic2ecef_fast_array
ROWS = np.array([[0.0, 0.0, 0.0], [116.4, 39.9, 44.0], [-70.0, -33.0, 500.0], [10.0, 80.0, 0.0]])


@pytest.mark.parametrize("array, text", [
    *[(ROWS.astype(dtype), f"Buffer dtype mismatch, expected 'const double' but got {got}")
      for dtype, got in [(np.float32, "'float'"), (np.int64, "'long'"), (np.int32, "'int'"),
                         (np.uint32, "'unsigned int'"), (np.complex128, "'complex double'"),
                         (bool, "'bool'"), (object, "Python object")]],
    (np.zeros((2, 3), dtype=[("a", "f8")]), "expected 'const double' but got a struct"),
    (ROWS.astype(">f8"), "Big-endian buffer not supported on little-endian compiler"),
    (ROWS.astype(np.float16), "Unexpected format string character: 'e'"),
    (ROWS[0], "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (ROWS[None], "Buffer has wrong number of dimensions (expected 2, got 3)"),
    (ROWS[:, :2], "arr must have at least 3 columns, got 2"),
])
def test_value_errors(array, text):
    with pytest.raises(ValueError, match=re.escape(text)):
        batch(array)


@pytest.mark.parametrize("obj", [ROWS.tolist(), (1.0, 2.0, 3.0), "rows"])
def test_objects_without_buffer(obj):
    with pytest.raises(TypeError):
        batch(obj)


@pytest.mark.parametrize("make", [
    lambda r: np.asfortranarray(r),
    lambda r: np.hstack([r, r])[:, :3],                       # column slice
    lambda r: np.ascontiguousarray(r.T).T,                    # transposed
    lambda r: np.ascontiguousarray(r[::-1])[::-1],            # negative row stride
    lambda r: np.ascontiguousarray(r[:, ::-1])[:, ::-1],      # negative column stride
    lambda r: np.repeat(r, 2, axis=0)[::2],                   # row step 2
    lambda r: memoryview(np.ascontiguousarray(r)),            # any buffer exporter
    lambda r: np.ascontiguousarray(r).astype("<f8"),          # explicit little-endian
    lambda r: read_only(np.hstack([r, np.full((4, 2), 99.0)])),  # extra columns
])
def test_strided_inputs_match_contiguous(make):
    assert np.array_equal(batch(make(ROWS)), batch(np.ascontiguousarray(ROWS)))


@pytest.mark.parametrize("arg", [None, np.empty((0, 3)), np.empty((0, 5))])
def test_no_rows(arg):
    result = batch(arg)
    assert result.shape == (0, 3) and result.dtype == np.float64


def test_result_is_new_and_contiguous():
    rows = ROWS.copy()
    a, b = batch(rows), batch(rows)
    assert a is not b and not np.shares_memory(a, rows)
    assert a.flags.c_contiguous and a.flags.owndata and a.dtype == np.float64
    assert np.array_equal(rows, ROWS)


class FakeNumpy:
    """Stands in for the module attribute `np`, with a misbehaving `empty`."""
    float64 = np.float64

    def __init__(self, shape, dtype=np.float64):
        self.shape, self.dtype = shape, dtype

    def empty(self, shape, dtype):
        return np.zeros(self.shape, self.dtype)


@pytest.mark.parametrize("fake, exc, text", [
    (FakeNumpy((1, 3)), ValueError, "np.empty() made a result array of the wrong shape"),
    (FakeNumpy((4, 2)), ValueError, "np.empty() made a result array of the wrong shape"),
    (FakeNumpy((4, 3), np.float32), ValueError, "expected 'DTYPE_FLOAT64_T' but got 'float'"),
    (None, NameError, "name 'np' is not defined"),
])
def test_results_are_made_through_np(monkeypatch, fake, exc, text):
    if fake is None:
        monkeypatch.delattr(geokern, "np")
    else:
        monkeypatch.setattr(geokern, "np", fake)
    with pytest.raises(exc, match=re.escape(text)):
        batch(ROWS)


def unaligned(array):
    """A copy of `array` whose items start one byte off their alignment."""
    raw = bytearray(array.nbytes + 1)
    out = np.frombuffer(raw, dtype=array.dtype, count=array.size, offset=1).reshape(array.shape)
    out[...] = array
    assert not out.flags.aligned
    return out


# regression: arrays unpickled from a stream's frames arrive unaligned
@pytest.mark.parametrize("call", [
    lambda a: geokern.geodetic2ecef_fast_array(a),
    lambda a: geokern.web_mercator_to_ecef_fast_array(a),
    lambda a: geokern.ecef2geodetic_nparray_cy(a, np.eye(3), True),
    lambda a: geokern.calculate_smooth_normals_cy(a.astype(np.float32), unaligned(np.array([0, 1, 2, 1, 2, 3], np.uint32)), 4),
    lambda a: geokern.expand_flat_shaded_mesh_cy(unaligned(a.astype(np.float32)), unaligned(np.array([0, 1, 2], np.uint32))),
])
def test_unaligned_arrays_give_the_aligned_results(call):
    rows = ROWS * [1, 1, 1000]
    got = call(unaligned(rows))
    want = call(rows)
    for g, w in zip(got if isinstance(got, tuple) else [got], want if isinstance(want, tuple) else [want]):
        np.testing.assert_array_equal(g, w)
