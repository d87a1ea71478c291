"""The oriented box of points: geometry, WKT text, argument refusals, and
the numpy calls it makes through the module attribute `np`."""

import re

import numpy as np
import pytest

import geokern
from shared import read_only, ring, traceback_names

box = geokern.generate_obb_2d_from_points


def test_rectangle_corners_in_ring_order():
    corners = ring(box(np.array([[0.0, 0.0], [2.0, 0.0], [2.0, 1.0], [0.0, 1.0]])))
    np.testing.assert_allclose(corners[0], corners[4], atol=0)
    # The four corners of the rectangle, each once, walking round its edges.
    assert sorted(map(tuple, np.round(corners[:4], 12))) == [(0, 0), (0, 1), (2, 0), (2, 1)]
    assert all((s < 1e-12).sum() == 1 for s in np.abs(np.diff(corners, axis=0)))
    # A rotated square with a point inside is its own box.
    c, s = np.cos(0.3), np.sin(0.3)
    square = np.array([[0, 0], [1, 0], [1, 1], [0, 1], [0.5, 0.2]]) @ [[c, s], [-s, c]]
    for corner in ring(box(np.ascontiguousarray(square)))[:4]:
        assert np.min(np.hypot(*(square[:4] - corner).T)) < 0.2


@pytest.mark.parametrize("points, distinct", [
    ([[3.5, -1.25]], 1),                       # a single point: five times the same
    ([[0, 0], [1, 1], [2, 2], [3, 3]], 2),     # collinear: a box of zero width
])
def test_degenerate_boxes(points, distinct):
    corners = ring(box(np.array(points, dtype=float)))
    assert len({tuple(np.round(c, 9)) for c in corners}) == distinct


def test_text_is_shortest_round_trip_float_text():
    text = box(np.array([[0.1, 1e-300], [1e22, 0.3]]))
    values = [float(v) for v in re.split("[ ,]", text[9:-2])]
    assert text == "POLYGON((" + ",".join(
        f"{values[i]!r} {values[i + 1]!r}" for i in range(0, 10, 2)) + "))"
    first, *_, last = text[9:-2].split(",")
    assert first == last


def test_strided_input_matches_its_copy():
    rng = np.random.default_rng(5)
    wide = rng.normal(size=(40, 5))
    view = wide[::-3, 3:1:-1]
    assert box(view) == box(np.ascontiguousarray(view))


@pytest.mark.parametrize("arg, error, message", [
    (np.zeros((3, 2), np.float32), ValueError, "expected 'double' but got 'float'"),
    (np.zeros(4), ValueError, r"wrong number of dimensions \(expected 2, got 1\)"),
    ([[0.0, 1.0], [2.0, 3.0]], TypeError, None),
    (np.zeros((3, 2)).view(np.dtype(">f8")), ValueError, "Big-endian"),
    (read_only(np.zeros((3, 2))), ValueError, "read-only"),
])
def test_refused_arguments(arg, error, message):
    with pytest.raises(error, match=message):
        box(arg)


@pytest.mark.parametrize("points", [None, np.zeros((0, 2)), np.array([[0.0, np.nan], [1.0, 2.0]]),
                                    np.zeros((3, 1)), np.ones((3, 3))])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_numpy_errors_pass_through_with_both_entries(points):
    with pytest.raises(Exception) as info:
        box(points)
    assert {"geokern.generate_obb_2d_from_points",
            "geokern.generate_obb_2d_from_points_cython"} <= set(traceback_names(info.value))


class Recorder:
    """Stands in for numpy, recording each function looked up through it."""

    def __init__(self, target, calls, prefix=""):
        self._target, self._calls, self._prefix = target, calls, prefix

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if name == "linalg":
            return Recorder(value, self._calls, "linalg.")
        if not callable(value) or isinstance(value, type):
            return value

        def call(*args, **kwargs):
            self._calls.append((self._prefix + name, sorted(kwargs.items())))
            return value(*args, **kwargs)
        return call


def test_numpy_call_sequence(monkeypatch):
    calls = []
    points = np.array([[0.0, 0.0], [2.0, 0.0], [2.0, 1.0]])
    plain = box(points)
    monkeypatch.setattr(geokern, "np", Recorder(np, calls))
    assert box(points) == plain
    assert calls == [
        ("cov", [("bias", 1), ("rowvar", 0), ("y", None)]),
        ("linalg.eig", []), ("transpose", []), ("linalg.inv", []), ("dot", []),
        ("min", [("axis", 0)]), ("max", [("axis", 0)]), ("array", []), ("dot", []),
    ]
    monkeypatch.delattr(geokern, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        box(points)
