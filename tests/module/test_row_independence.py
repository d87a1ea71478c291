"""A batch row's result depends on that row alone: bit for bit the same
whatever its neighbours in the vector step hold (NaN, infinities, zeros,
huge and tiny values) and wherever it sits."""

import numpy as np
import pytest

import geokern
from shared import bits

SPECIALS = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e300, -1e300, 1e-300, 5e-324, 1e20, 1e15, 2e14]
EYE3 = np.eye(3)


def geodetic_rows(rng, n):
    rows = np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-90, 90, n),
                            rng.uniform(-1e3, 1e6, n)])
    rows[::7, 0] *= 10.0 ** rng.integers(1, 12, len(rows[::7]))   # wide longitudes
    return rows


def mercator_rows(rng, n):
    return geokern.geodetic_to_web_mercator_fast_array(geodetic_rows(rng, n))


def ecef_rows(rng, n):
    return geokern.geodetic2ecef_fast_array(geodetic_rows(rng, n)) * rng.uniform(0.01, 3, (n, 1))


BATCHES = {
    "geodetic2ecef_fast_array": (geokern.geodetic2ecef_fast_array, geodetic_rows),
    "geodetic_to_web_mercator_fast_array": (geokern.geodetic_to_web_mercator_fast_array,
                                            geodetic_rows),
    "web_mercator_to_geodetic_fast_array": (geokern.web_mercator_to_geodetic_fast_array,
                                            mercator_rows),
    "web_mercator_to_ecef_fast_array": (geokern.web_mercator_to_ecef_fast_array, mercator_rows),
    "ecef2geodetic_nparray_cy": (lambda rows: geokern.ecef2geodetic_nparray_cy(rows, EYE3, True),
                                 ecef_rows),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", BATCHES)
def test_rows_do_not_depend_on_their_neighbours(name):
    convert, make_rows = BATCHES[name]
    rng = np.random.default_rng(11)
    probes = make_rows(rng, 200)
    alone = np.array([convert(p[None])[0] for p in probes])
    for trial in range(20):
        batch = rng.choice(SPECIALS, (48, 3))
        if trial % 4 == 0:
            batch[rng.random(48) < 0.5] = make_rows(rng, 48)[:1]    # some ordinary rows too
        at = rng.choice(48, 12, replace=False)
        picked = rng.choice(len(probes), 12, replace=False)
        batch[at] = probes[picked]
        np.testing.assert_array_equal(bits(convert(batch)[at]), bits(alone[picked]))
