"""Every batch gives the same bits whatever the memory layout of its rows:
full groups of packed rows are moved as whole vectors, every other layout
and each batch's short last group element by element."""

import numpy as np
import pytest

import geokern
from shared import bits

N = 16 * 62 + 13            # full groups, then a short one
SPECIALS = [np.nan, np.inf, -np.inf, 0.0, -0.0, 5e-324, 1e300, 90.0, -90.0, 180.0]


def ecef2geodetic(heights):
    """The ECEF batch on rows given as its product: np.dot hands the rows
    over as they are, in any layout."""
    def convert(rows, monkeypatch):
        class Numpy:
            float64, empty = np.float64, staticmethod(np.empty)

            @staticmethod
            def dot(a, b):
                return rows
        monkeypatch.setattr(geokern, "np", Numpy)
        return geokern.ecef2geodetic_nparray_cy(np.zeros((1, 3)), np.eye(3), heights)
    return convert


def plain(batch):
    return lambda rows, monkeypatch: batch(rows)


BATCHES = {
    "geodetic2ecef_fast_array": (plain(geokern.geodetic2ecef_fast_array), "geodetic"),
    "geodetic_to_web_mercator_fast_array":
        (plain(geokern.geodetic_to_web_mercator_fast_array), "geodetic"),
    "web_mercator_to_geodetic_fast_array":
        (plain(geokern.web_mercator_to_geodetic_fast_array), "mercator"),
    "web_mercator_to_ecef_fast_array": (plain(geokern.web_mercator_to_ecef_fast_array), "mercator"),
    "ecef2geodetic_nparray_cy": (ecef2geodetic(False), "ecef"),
    "ecef2geodetic_nparray_cy heights": (ecef2geodetic(True), "ecef"),
}


def values(kind):
    rng = np.random.default_rng(5)
    geo = np.column_stack([rng.uniform(-180, 180, N), rng.uniform(-90, 90, N),
                           rng.uniform(-1e3, 1e6, N)])
    rows = {"geodetic": geo,
            "mercator": geokern.geodetic_to_web_mercator_fast_array(geo),
            "ecef": geokern.geodetic2ecef_fast_array(geo)}[kind]
    special = rng.random(rows.shape) < 0.02
    rows[special] = rng.choice(SPECIALS, np.count_nonzero(special))
    return rows


def unaligned(rows):
    raw = bytearray(rows.nbytes + 1)
    out = np.frombuffer(raw, np.float64, rows.size, offset=1).reshape(rows.shape)
    out[...] = rows
    return out


# Views of the rows; each must give the results of its own contiguous copy.
LAYOUTS = {
    "C-contiguous": lambda r: r,
    "unaligned": unaligned,
    "three columns of four": lambda r: np.hstack([r, r[:, :1]])[:, :3],
    "three columns of six": lambda r: np.hstack([r, r])[:, :3],
    "transposed": lambda r: np.ascontiguousarray(r.T).T,
    "negative strides": lambda r: r[::-1, ::-1].copy()[::-1, ::-1],
    "every other row": lambda r: np.repeat(r, 2, axis=0)[::2],
    "one row repeated": lambda r: np.lib.stride_tricks.as_strided(r[7:], strides=(0, 8)),
}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("name", BATCHES)
def test_layouts_give_the_same_bits(name, layout, monkeypatch):
    convert, kind = BATCHES[name]
    view = LAYOUTS[layout](values(kind))
    rows = np.ascontiguousarray(view)
    got = convert(view, monkeypatch)
    # Groups of at most 15 rows never take the vector loads and stores.
    by_element = np.concatenate([convert(rows[i:i + 15], monkeypatch) for i in range(0, N, 15)])
    np.testing.assert_array_equal(bits(got), bits(by_element))
    np.testing.assert_array_equal(bits(got), bits(convert(rows, monkeypatch)))


# regression: three columns of rows four apart were read as whole rows of
# four, one item past the last row
def test_rows_end_where_the_memory_ends(python):
    out = python("""
        import ctypes, mmap
        import numpy as np
        import geokern
        page = mmap.PAGESIZE
        memory = mmap.mmap(-1, 2 * page)
        base = ctypes.addressof(ctypes.c_char.from_buffer(memory))
        libc = ctypes.CDLL(None, use_errno=True)
        assert libc.mprotect(ctypes.c_void_p(base + page), page, 0) == 0   # PROT_NONE
        span = 15 * 32 + 24                 # 16 rows of 3 items, 4 items apart
        rows = np.ndarray((16, 3), np.float64, memory, page - span, (32, 8))
        rows[...] = [[10.0 * k, 45.0, 100.0] for k in range(16)]
        got = geokern.geodetic2ecef_fast_array(rows)
        assert np.array_equal(got, geokern.geodetic2ecef_fast_array(rows.copy()))
        print("ok")
    """)
    assert out.strip() == "ok"
