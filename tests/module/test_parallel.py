"""The parallel row loop: results independent of the thread count, of how
the rows are split into chunks (the chunk size follows the row count and the
thread count, so the sizes and counts below force many splits), and of
whether a small batch runs on the calling thread alone."""

import threading

import numpy as np
import pytest

import geokern
from shared import same_bits

DIGEST = """
    import hashlib, numpy as np, geokern
    rng = np.random.default_rng(3)
    for n in (1, 2, 3, 5, 1001, 4099, 100003, 300007):
        rows = np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-90, 90, n),
                                rng.uniform(-1e3, 1e6, n)])
        for f in (geokern.geodetic2ecef_fast_array, geokern.geodetic_to_web_mercator_fast_array,
                  geokern.web_mercator_to_geodetic_fast_array,
                  geokern.web_mercator_to_ecef_fast_array):
            print(n, hashlib.sha256(f(rows).tobytes()).hexdigest())
        xyz = geokern.geodetic2ecef_fast_array(rows)
        out = geokern.ecef2geodetic_nparray_cy(xyz, np.eye(3), True)
        print(n, hashlib.sha256(out.tobytes()).hexdigest())
"""


@pytest.mark.parametrize("threads", ["1", "3", "70"])  # 70: threads that own no share
def test_thread_count_does_not_change_results(python, threads):
    assert python(DIGEST, {"OMP_NUM_THREADS": threads}) == python(DIGEST)


def smooth_strips(rows):
    """Smooth normals of a strip of triangles within each block of 250 rows."""
    strip = np.array([[j, j + 1, j + 2] for j in range(248)], np.uint32).ravel()
    idx = np.concatenate([strip + start for start in range(0, len(rows), 250)])
    return geokern.calculate_smooth_normals_cy(rows.astype(np.float32), idx, len(rows))


@pytest.mark.parametrize("convert", [
    geokern.geodetic2ecef_fast_array,
    lambda rows: geokern.ecef2geodetic_nparray_cy(rows * 1e4, np.eye(3), True),
    smooth_strips,
])
def test_small_batches_on_one_thread_give_the_teams_bits(convert):
    rows = np.random.default_rng(5).uniform(-80, 80, (20000, 3))
    pieces = np.vstack([convert(rows[i:i + 250]) for i in range(0, len(rows), 250)])
    assert same_bits(convert(rows), pieces)


def test_concurrent_callers_get_their_own_results():
    rng = np.random.default_rng(9)
    inputs = [rng.uniform(-80, 80, (20000, 3)) for _ in range(4)]
    expected = [geokern.geodetic2ecef_fast_array(a) for a in inputs]
    results = [None] * 4

    def work(i):
        for _ in range(5):
            results[i] = geokern.geodetic2ecef_fast_array(inputs[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same_bits(got, want) for got, want in zip(results, expected))
