"""The native walker of WKB geometry columns: every type and encoding read
and rewritten, malformed blobs named by row, hostile bytes survived."""
import struct

import numpy as np
import pytest

shapely = pytest.importorskip("shapely")

from geokern_tools import _native, _wkb

SHAPELY = ["POINT (1 2)", "POINT Z (1 2 3)", "POINT M (1 2 4)", "POINT ZM (1 2 3 4)", "POINT EMPTY",
           "LINESTRING (1 2, 3 4)", "LINESTRING EMPTY",
           "POLYGON ((0 0, 1 0, 1 1, 0 0), (0.1 0.1, 0.2 0.1, 0.2 0.2, 0.1 0.1))",
           "MULTIPOINT Z ((1 2 3), (4 5 6))", "MULTILINESTRING ((0 0, 1 1), (2 2, 3 3))",
           "MULTIPOLYGON Z (((0 0 1, 1 0 1, 1 1 1, 0 0 1)))",
           "GEOMETRYCOLLECTION (POINT (5 6), GEOMETRYCOLLECTION (LINESTRING (1 1, 2 2)))"]


def le(fmt, *values):
    return struct.pack("<" + fmt, *values)


# Types shapely cannot build: a circular string, a triangle, a TIN and a
# polyhedral surface, written by hand (ISO codes).
TRIANGLE = le("BII", 1, 1017, 1) + le("I", 4) + le("12d", 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 0, 1)
HAND = [le("BII", 1, 8, 3) + le("6d", 0, 0, 1, 1, 2, 0),
        TRIANGLE, le("BII", 1, 1016, 2) + TRIANGLE + TRIANGLE,
        le("BII", 1, 15, 1) + le("BII", 1, 3, 1) + le("I", 4) + le("8d", 0, 0, 1, 0, 1, 1, 0, 0)]


def column(blobs):
    data, offsets = _wkb.pack(np.array(blobs, dtype=object))
    return data, offsets


@pytest.mark.parametrize("encode", [
    lambda g: shapely.to_wkb(g, flavor="iso", output_dimension=4),
    lambda g: shapely.to_wkb(g, byte_order=0, flavor="extended", include_srid=True,
                             output_dimension=4),
])
def test_every_type_reads_and_rewrites_to_itself(encode):
    geoms = shapely.from_wkt(SHAPELY)
    geoms = shapely.set_srid(geoms, 4326)
    data, offsets = column(list(encode(geoms)) + HAND)
    coords = _wkb.read(data, offsets, None)
    assert coords.counts.tolist() == [1, 1, 1, 1, 1, 2, 0, 8, 2, 4, 4, 3, 3, 4, 8, 4]
    assert [s & 0xff for s in coords.summary] == [1] * 5 + [2, 2, 3, 4, 5, 6, 7, 8, 17, 16, 15]
    np.testing.assert_array_equal(coords.summary[:4] & 0x300, [0, 0x100, 0x200, 0x300])
    new_offsets, new_data = _native.wkb_rewrite(data, offsets, None, coords.xyz)
    blobs = _wkb.unpack(new_data, new_offsets)
    assert list(blobs[:12]) == list(shapely.to_wkb(shapely.from_wkt(SHAPELY), flavor="iso",
                                                   output_dimension=4))
    assert list(blobs[12:]) == HAND
    # Made 3-D: the same geometries at height 0, the M values kept.
    again = shapely.from_wkb(_wkb.unpack(*_native.wkb_rewrite_3d(data, offsets, None,
                                                                   coords.xyz)[::-1])[:12])
    assert shapely.has_z(again[~shapely.is_empty(again)]).all()
    assert shapely.to_wkt(again[2]) == "POINT ZM (1 2 0 4)"


def test_missing_rows_take_no_bytes_and_no_coordinates():
    data, offsets = column([shapely.to_wkb(shapely.Point(1, 2)), b"", b"garbage"])
    valid = np.array([True, False, False])
    coords = _wkb.read(data, offsets, valid)
    assert coords.counts.tolist() == [1, 0, 0] and coords.summary.tolist() == [1, 0, 0]
    new_offsets, _ = _native.wkb_rewrite(data, offsets, valid, coords.xyz)
    assert new_offsets.tolist() == [0, 21, 21, 21]


POINT = le("BI", 1, 1) + le("2d", 1, 2)


@pytest.mark.parametrize("blob, reason", [
    (POINT[:-1], "truncated WKB"),
    (le("BII", 1, 2, 1 << 30) + le("2d", 1, 2), "truncated WKB"),
    (b"", "truncated WKB"),
    (POINT + b"\0", "bytes after the end"),
    (b"\x02" + POINT[1:], "bad WKB byte order"),
    (le("BI", 1, 4001) + le("2d", 1, 2), "unknown WKB geometry type"),
    (le("BII", 1, 7, 1) * 40 + POINT, "WKB collections nested too deep"),
], ids=["short point", "huge count", "empty", "trailing", "byte order", "type 4001", "deep"])
def test_malformed_blobs_are_named_by_row(blob, reason):
    data, offsets = column([POINT, blob])
    with pytest.raises(ValueError, match=f"row 1: {reason}"):
        _wkb.read(data, offsets, None)
    with pytest.raises(ValueError, match=f"row 1: {reason}"):
        _native.wkb_rewrite(data, offsets, None, np.zeros((1, 3)))


def test_arguments_that_index_memory_are_checked():
    data, offsets = column([POINT, POINT])
    with pytest.raises(ValueError, match="row 1: offsets outside the data"):
        _native.wkb_coordinates(data, np.array([0, 21, 43]))
    with pytest.raises(ValueError, match="row 0: offsets outside the data"):
        _native.wkb_coordinates(data, np.array([21, 0, 42]))
    with pytest.raises(ValueError, match="xyz must have 2 rows, one per coordinate, got 3"):
        _native.wkb_rewrite(data, offsets, None, np.zeros((3, 3)))
    with pytest.raises(ValueError, match="offsets must be a one-dimensional array of 8-byte"):
        _native.wkb_coordinates(data, offsets.astype(np.int32))
    with pytest.raises(ValueError, match="valid must have 2 items, got 1"):
        _native.wkb_coordinates(data, offsets, np.ones(1, bool))


def test_random_bytes_never_crash():
    rng = np.random.default_rng(7)
    good = list(shapely.to_wkb(shapely.from_wkt(SHAPELY), output_dimension=4)) + HAND
    for _ in range(3000):
        blob = bytearray(good[rng.integers(len(good))])
        for _ in range(rng.integers(1, 4)):
            blob[rng.integers(len(blob))] = rng.integers(256)
        blob = bytes(blob[:rng.integers(len(blob) + 1)]) if rng.random() < 0.3 else bytes(blob)
        data, offsets = column([blob])
        try:
            coords = _wkb.read(data, offsets, None)
        except ValueError as exc:
            assert str(exc).startswith("row 0: ")
            continue
        _native.wkb_rewrite_3d(data, offsets, None, coords.xyz)
