"""Columns of WKB geometries with their coordinates converted, through the
native walker of geokern_tools._native (src/tools_native/wkb.hpp).

A column is `data` (the bytes of all blobs) with int64 `offsets` (n + 1)
and optional `valid` flags (n), as an Arrow binary column holds it.  Every
geometry type of WKB is read (ISO codes or extended WKB, either byte
order); the rewritten column is little-endian ISO WKB with each geometry's
own dimensions, or 3-D throughout for ECEF (2-D parts at height 0), M
values as they were.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from geokern_tools import _native
from geokern_tools._convert import convert_xyz

__all__ = ["Coordinates", "read", "convert_blobs", "pack", "unpack", "GEOMETRY_TYPES", "HAS_Z"]

#: The ISO type codes of the summary, by name as GeoParquet writes them.
GEOMETRY_TYPES: dict[int, str] = {1: "Point", 2: "LineString", 3: "Polygon", 4: "MultiPoint",
                                  5: "MultiLineString", 6: "MultiPolygon",
                                  7: "GeometryCollection", 8: "CircularString",
                                  9: "CompoundCurve", 10: "CurvePolygon", 11: "MultiCurve",
                                  12: "MultiSurface", 15: "PolyhedralSurface", 16: "TIN",
                                  17: "Triangle"}
HAS_Z = 0x100
TYPE_MASK = 0xff

type _Bytes = bytes | memoryview | npt.NDArray[np.uint8] | Any


class Coordinates:
    """The coordinates of a WKB column: `xyz` (M, 3) float64 (z = 0 for 2-D
    geometries), `counts` (n,) coordinates per row, `summary` (n,) uint16 of
    the outer type and 0x100 for Z, 0x200 for M (0 for missing rows)."""

    __slots__ = ("xyz", "counts", "summary")

    def __init__(self, xyz: npt.NDArray[np.float64], counts: npt.NDArray[np.int64],
                 summary: npt.NDArray[np.uint16]) -> None:
        self.xyz, self.counts, self.summary = xyz, counts, summary


def read(data: _Bytes, offsets: npt.NDArray[np.int64],
         valid: npt.NDArray[np.bool_] | None) -> Coordinates:
    """The coordinates of a column; ValueError "row <i>: <reason>" for the
    first malformed blob."""
    xyz, counts, summary = _native.wkb_coordinates(data, offsets, valid)
    return Coordinates(xyz, counts, summary)


def check_ecef(coords: Coordinates) -> None:
    """ValueError for the first row that is not 3-D yet has a coordinate
    (an empty point's NaN coordinate aside): ECEF needs X, Y and Z."""
    flat = ((coords.summary & HAS_Z) == 0) & (coords.counts > 0)
    if not flat.any():
        return
    starts = np.concatenate([[0], np.cumsum(coords.counts)[:-1]])
    for row in np.flatnonzero(flat):
        if not np.isnan(coords.xyz[starts[row]:starts[row] + coords.counts[row], :2]).all():
            raise ValueError(f"row {row}: ecef geometries must be 3-D (X, Y, Z)")


def convert_blobs(data: _Bytes, offsets: npt.NDArray[np.int64],
                  valid: npt.NDArray[np.bool_] | None, src: str, dst: str,
                  china_inverse: str = "iterative", coords: Coordinates | None = None
                  ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.uint8]]:
    """The column rewritten with its coordinates converted between the
    systems named `src` and `dst`: (offsets, data).  `coords` may be given
    when the caller has already read them."""
    if coords is None:
        coords = read(data, offsets, valid)
    if src == "ecef":
        check_ecef(coords)
    xyz = convert_xyz(coords.xyz, src, dst, china_inverse)
    rewrite = _native.wkb_rewrite_3d if dst == "ecef" else _native.wkb_rewrite
    new_offsets, new_data = rewrite(data, offsets, valid, xyz)
    return new_offsets, new_data


def pack(blobs: npt.NDArray[np.object_]) -> tuple[bytes, npt.NDArray[np.int64]]:
    """The bytes objects of `blobs` as one buffer and its offsets."""
    lengths = np.fromiter(map(len, blobs), dtype=np.int64, count=len(blobs))
    offsets = np.zeros(len(blobs) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return b"".join(blobs), offsets


def unpack(data: npt.NDArray[np.uint8], offsets: npt.NDArray[np.int64]
           ) -> npt.NDArray[np.object_]:
    """The blobs of a buffer and its offsets as an object array of bytes."""
    try:
        import pyarrow as pa
    except ImportError:
        blobs = np.empty(len(offsets) - 1, dtype=object)
        raw = data.tobytes()
        for i in range(len(blobs)):
            blobs[i] = raw[offsets[i]:offsets[i + 1]]
        return blobs
    column = pa.Array.from_buffers(pa.large_binary(), len(offsets) - 1,
                                   [None, pa.py_buffer(offsets), pa.py_buffer(data)])
    unpacked: npt.NDArray[np.object_] = column.to_numpy(zero_copy_only=False)
    return unpacked
