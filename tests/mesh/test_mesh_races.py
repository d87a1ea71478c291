"""Mesh functions against callers that change the indices while a call runs:
another thread writing the array, or a rebound `np` that writes it when a
result array is made.  No call may crash or return a vertex that pos lacks.

GEOKERN_RACE_SECONDS sets how long each writer runs (default 1)."""

import os
import threading
import time
import types

import numpy as np
import pytest

import geokern

SECONDS = float(os.environ.get("GEOKERN_RACE_SECONDS", "1"))
VERTICES = 1000
OUTSIDE = 2**31 + 5       # far beyond the rows, and negative as int32


def grid_mesh(triangles):
    rng = np.random.default_rng(7)
    pos = rng.normal(size=(VERTICES, 3)).astype(np.float32)
    return pos, rng.integers(0, VERTICES, 3 * triangles).astype(np.uint32)


def check_smooth(pos, idx):
    normals = geokern.calculate_smooth_normals_cy(pos, idx, VERTICES)
    assert normals.shape == (VERTICES, 3)


def check_mesh(function):
    def check(pos, idx):
        new_pos, _, new_indices, sources = function(pos, idx)
        assert sources.max() < VERTICES
        assert (new_pos == pos[sources]).all()
        assert new_indices.max() < len(new_pos)
    return check


CALLS = {
    "smooth": check_smooth,
    "flat": check_mesh(geokern.expand_flat_shaded_mesh_cy),
    "crease": check_mesh(geokern.expand_crease_normals_mesh_cy),
}


@pytest.mark.parametrize("name", CALLS)
def test_writer_thread_toggling_an_index(name):
    pos, idx = grid_mesh(20_000 if name == "crease" else 300_000)
    stop = threading.Event()
    spots = np.random.default_rng(1).integers(0, len(idx), 64)

    def writer():
        while not stop.is_set():
            for j in spots:
                idx[j] = OUTSIDE
                idx[j] = j % VERTICES

    thread = threading.Thread(target=writer)
    thread.start()
    calls = failures = 0
    try:
        deadline = time.monotonic() + SECONDS
        while time.monotonic() < deadline:
            calls += 1
            try:
                CALLS[name](pos, idx)
            except IndexError as error:
                assert str(OUTSIDE) in str(error)
                failures += 1
    finally:
        stop.set()
        thread.join()
    print(f"{name}: {calls} calls, {failures} IndexError")


class WritingNumpy(types.SimpleNamespace):
    """numpy, except that making an array first writes an index beyond the
    vertices into `target`."""

    def __init__(self, target):
        super().__init__(target=target)

    def __getattr__(self, name):
        attr = getattr(np, name)
        if name not in ("zeros", "empty", "arange"):
            return attr

        def make(*args, **kwargs):
            self.target[1] = OUTSIDE
            return attr(*args, **kwargs)
        return make


@pytest.mark.parametrize("name", ["smooth", "flat"])
def test_rebound_np_writing_the_indices_is_caught(monkeypatch, name):
    pos, idx = grid_mesh(10)
    monkeypatch.setattr(geokern, "np", WritingNumpy(idx))
    with pytest.raises(IndexError, match=f"index {OUTSIDE} out of range for 1000 vertices"):
        CALLS[name](pos, idx)


def test_crease_works_on_the_indices_it_checked(monkeypatch):
    pos, idx = grid_mesh(10)
    expected = geokern.expand_crease_normals_mesh_cy(pos, idx)
    monkeypatch.setattr(geokern, "np", WritingNumpy(idx))
    got = geokern.expand_crease_normals_mesh_cy(pos, idx)
    for a, b in zip(got, expected):
        np.testing.assert_array_equal(a, b)
