"""Arrow geometry columns with their coordinates converted: WKB (binary and
large binary) and the native GeoArrow encodings of GeoParquet 1.1 (point,
linestring, polygon, multipoint, multilinestring, multipolygon), with
coordinates separated (a struct of x, y[, z][, m]) or interleaved (a fixed
size list of 2 to 4 doubles).

A column keeps its encoding, its nulls and its list structure; only the
coordinates change.  ECEF results are 3-D: a 2-D column gets a z (WKB
geometries ISO Z codes, a struct a "z" field after "y", an interleaved list
one more value), at height 0 on the way in.  M values are kept.

Each conversion also reports what GeoParquet metadata needs (ColumnStats):
the geometry types seen and the bounding box, and for a covering column
each row's box.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from geokern_tools import _wkb
from geokern_tools._convert import convert_xyz

__all__ = ["ColumnStats", "NATIVE_ENCODINGS", "convert_column"]

# Encoding -> (list levels above the coordinates, GeoParquet type name).
NATIVE_ENCODINGS: dict[str, tuple[int, str]] = {
    "point": (0, "Point"), "linestring": (1, "LineString"), "polygon": (2, "Polygon"),
    "multipoint": (1, "MultiPoint"), "multilinestring": (2, "MultiLineString"),
    "multipolygon": (3, "MultiPolygon"),
}

# The type names GeoParquet lists; other WKB types make the list unknown.
_GEOPARQUET_TYPES = {1, 2, 3, 4, 5, 6, 7}


@dataclass
class ColumnStats:
    """What the converted batches of one column held: geometry type names
    ("Point", "Polygon Z", ...; None once a type GeoParquet cannot name was
    seen) and the bounding box of every coordinate, NaN aside."""

    types: set[str] | None = field(default_factory=set)
    low: npt.NDArray[np.float64] = field(default_factory=lambda: np.full(3, np.inf))
    high: npt.NDArray[np.float64] = field(default_factory=lambda: np.full(3, -np.inf))
    flat: bool = False  # some geometry had no z

    def add_coordinates(self, xyz: npt.NDArray[np.float64]) -> None:
        # Column by column: a reduction over axis 0 of (M, 3) would run an
        # inner loop of three elements.  fmin and fmax pass NaN over; min and
        # max are faster where there is none.
        for k in range(3):
            column = xyz[:, k]
            low, high = column.min(initial=np.inf), column.max(initial=-np.inf)
            if np.isnan(low) or np.isnan(high):
                low, high = np.fmin.reduce(column, initial=np.inf), np.fmax.reduce(
                    column, initial=-np.inf)
            self.low[k] = np.fmin(self.low[k], low)
            self.high[k] = np.fmax(self.high[k], high)

    def add_types(self, names: set[str] | None) -> None:
        self.types = None if self.types is None or names is None else self.types | names

    def bbox(self) -> list[float] | None:
        """[xmin, ymin, xmax, ymax], or with zmin and zmax when every
        geometry had a z; None before any coordinate."""
        if not (self.low[:2] <= self.high[:2]).all():
            return None
        if self.flat or not self.low[2] <= self.high[2]:
            return [*map(float, self.low[:2]), *map(float, self.high[:2])]
        return [*map(float, self.low), *map(float, self.high)]


@dataclass
class Converted:
    """A converted column, its statistics, and its converted coordinates,
    row i's being xyz[start[i]:end[i]] (an empty run for a missing row)."""

    array: Any
    stats: ColumnStats
    xyz: npt.NDArray[np.float64]
    start: npt.NDArray[np.int64]
    end: npt.NDArray[np.int64]

    def row_extents(self) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Per-row min and max (n, 3) of the coordinates, NaN aside; NaN for
        rows without any (for a covering column)."""
        return _extents(self.xyz, self.start, self.end)

    def referenced(self) -> npt.NDArray[np.float64]:
        """The coordinates that the rows refer to."""
        m = len(self.xyz)
        if len(self.start) == 0:
            return self.xyz[:0]
        if self.start[0] == 0 and self.end[-1] == m and (self.start[1:] == self.end[:-1]).all():
            return self.xyz
        mark = np.zeros(m + 1, dtype=np.int64)
        np.add.at(mark, self.start, 1)
        np.add.at(mark, self.end, -1)
        return self.xyz[np.cumsum(mark)[:-1] > 0]


def convert_column(array: Any, encoding: str, src: str, dst: str,
                   china_inverse: str = "iterative") -> Converted:
    """An Arrow array (or chunked array) of geometries in `encoding` ("WKB"
    or a native encoding) converted between the systems named `src` and
    `dst`.  ValueError "row <i>: ..." (rows counted in `array`) for a
    malformed or, from ECEF, 2-D geometry."""
    import pyarrow as pa

    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if encoding == "WKB":
        return _convert_wkb(pa, array, src, dst, china_inverse)
    if encoding not in NATIVE_ENCODINGS:
        raise ValueError(f"unknown geometry encoding {encoding!r}; expected WKB or one of "
                         f"{', '.join(NATIVE_ENCODINGS)}")
    return _convert_native(pa, array, encoding, src, dst, china_inverse)


def _valid(pa: Any, array: Any) -> npt.NDArray[np.bool_] | None:
    if array.null_count == 0:
        return None
    flags: npt.NDArray[np.bool_] = array.is_valid().to_numpy(zero_copy_only=False)
    return flags


def _validity_buffer(pa: Any, valid: npt.NDArray[np.bool_] | None) -> Any:
    # Packed by hand: pa.array() would import pandas.
    return None if valid is None else pa.py_buffer(np.packbits(valid, bitorder="little"))


def _extents(xyz: npt.NDArray[np.float64], start: npt.NDArray[np.int64],
             end: npt.NDArray[np.int64]) -> tuple[npt.NDArray[np.float64],
                                                   npt.NDArray[np.float64]]:
    """Per-row min and max of the coordinates xyz[start:end] (NaN aside);
    NaN for rows without any."""
    low = np.full((len(start), 3), np.nan)
    high = np.full((len(start), 3), np.nan)
    some = end > start
    if some.any():
        # reduceat over the pairs (start, end): every other result is a row's.
        padded = np.vstack([xyz, np.full((1, 3), np.nan)])
        bounds = np.column_stack([start[some], end[some]]).ravel()
        with np.errstate(invalid="ignore"):
            low[some] = np.fmin.reduceat(padded, bounds, axis=0)[::2]
            high[some] = np.fmax.reduceat(padded, bounds, axis=0)[::2]
    return low, high


def _convert_wkb(pa: Any, array: Any, src: str, dst: str, china_inverse: str) -> Converted:
    if not (pa.types.is_binary(array.type) or pa.types.is_large_binary(array.type)):
        raise ValueError(f"a WKB geometry column must be binary, got {array.type}")
    n = len(array)
    buffers = array.buffers()
    width = np.int64 if pa.types.is_large_binary(array.type) else np.int32
    offsets = np.frombuffer(buffers[1], dtype=width, count=n + 1,
                            offset=array.offset * np.dtype(width).itemsize).astype(np.int64)
    data = buffers[2] if buffers[2] is not None else b""
    valid = _valid(pa, array)
    coords = _wkb.read(data, offsets, valid)
    if src == "ecef":
        _wkb.check_ecef(coords)
    xyz = convert_xyz(coords.xyz, src, dst, china_inverse)
    from geokern_tools import _native

    rewrite = _native.wkb_rewrite_3d if dst == "ecef" else _native.wkb_rewrite
    new_offsets, new_data = rewrite(data, offsets, valid, xyz)
    large = new_offsets[-1] >= 2**31
    out_offsets = new_offsets if large else new_offsets.astype(np.int32)
    out = pa.Array.from_buffers(pa.large_binary() if large else pa.binary(), n,
                                [_validity_buffer(pa, valid), pa.py_buffer(out_offsets),
                                 pa.py_buffer(new_data)], null_count=array.null_count)
    stats = ColumnStats()
    codes = np.unique(coords.summary[coords.summary != 0])  # missing rows have 0
    code_types = (codes & _wkb.TYPE_MASK).tolist()
    code_z = [dst == "ecef" or bool(code & _wkb.HAS_Z) for code in codes.tolist()]
    if all(code in _GEOPARQUET_TYPES for code in code_types):
        stats.add_types({_wkb.GEOMETRY_TYPES[code] + (" Z" if has_z else "")
                         for code, has_z in zip(code_types, code_z)})
    else:
        stats.add_types(None)
    stats.flat = not all(code_z)
    stats.add_coordinates(xyz)
    end = np.cumsum(coords.counts)
    return Converted(out, stats, xyz, end - coords.counts, end)


def _coordinate_layout(pa: Any, coordinates: Any) -> tuple[str, list[str]]:
    """("separated", field names) or ("interleaved", dimension letters) of a
    coordinate array."""
    if pa.types.is_struct(coordinates.type):
        names = [coordinates.type.field(i).name for i in range(coordinates.type.num_fields)]
        if names[:2] != ["x", "y"] or not set(names[2:]) <= {"z", "m"}:
            raise ValueError(f"GeoArrow coordinates must be a struct of x, y[, z][, m], got "
                             f"{coordinates.type}")
        return "separated", names
    if pa.types.is_fixed_size_list(coordinates.type):
        size = coordinates.type.list_size
        letters = coordinates.type.value_field.name
        if letters not in ("xy", "xyz", "xym", "xyzm"):
            letters = {2: "xy", 3: "xyz", 4: "xyzm"}.get(size, "")
        if len(letters) != size:
            raise ValueError(f"GeoArrow interleaved coordinates must hold 2 to 4 values, got "
                             f"{coordinates.type}")
        return "interleaved", list(letters)
    raise ValueError(f"GeoArrow coordinates must be a struct or a fixed-size list, got "
                     f"{coordinates.type}")


def _convert_coordinates(pa: Any, coordinates: Any, src: str, dst: str, china_inverse: str
                         ) -> tuple[Any, npt.NDArray[np.float64], bool]:
    """A coordinate array converted: (new array, its x, y, z as (M, 3), had z)."""
    layout, names = _coordinate_layout(pa, coordinates)
    if layout == "separated":
        columns = {name: coordinates.field(name).to_numpy(zero_copy_only=False)
                   for name in names}
    else:
        size = len(names)
        flat = coordinates.values.slice(coordinates.offset * size, len(coordinates) * size)
        values = flat.to_numpy(zero_copy_only=False).reshape(-1, size)
        columns = {name: values[:, k] for k, name in enumerate(names)}
    has_z = "z" in names
    m = len(columns["x"])
    xyz = np.empty((m, 3))
    xyz[:, 0], xyz[:, 1] = columns["x"], columns["y"]
    xyz[:, 2] = columns["z"] if has_z else 0.0
    out = convert_xyz(xyz, src, dst, china_inverse)
    out_names = (["x", "y", "z"] + (["m"] if "m" in names else [])
                 if dst == "ecef" or has_z else names)
    new = {"x": out[:, 0], "y": out[:, 1], "z": out[:, 2]}
    if "m" in names:
        new["m"] = columns["m"]
    if layout == "separated":
        fields = [pa.field(name, pa.float64(), nullable=False) for name in out_names]
        array = pa.StructArray.from_arrays([pa.array(new[name]) for name in out_names],
                                           fields=fields)
    else:
        letters = "".join(out_names)
        interleaved = np.column_stack([new[name] for name in out_names]).ravel()
        array = pa.FixedSizeListArray.from_arrays(
            pa.array(interleaved),
            type=pa.list_(pa.field(letters, pa.float64(), nullable=False), len(letters)))
    return array, out, has_z


def _levels(pa: Any, array: Any, levels: int, encoding: str
            ) -> tuple[list[tuple[Any, npt.NDArray[np.int64], Any]], Any]:
    """The list levels above the coordinates, top down, each as (its type,
    its offsets from 0, its null mask or None), and the coordinates: every
    level's values sliced to the part the level above refers to."""
    found, node = [], array
    for _ in range(levels):
        if not (pa.types.is_list(node.type) or pa.types.is_large_list(node.type)):
            raise ValueError(f"a {encoding} GeoArrow column needs {levels} list levels, got "
                             f"{array.type}")
        offsets = node.offsets.to_numpy().astype(np.int64)
        mask = node.is_null() if node.null_count else None
        found.append((node.type, offsets - offsets[0], mask))
        node = node.values.slice(offsets[0], offsets[-1] - offsets[0])
    return found, node


def _convert_native(pa: Any, array: Any, encoding: str, src: str, dst: str,
                    china_inverse: str) -> Converted:
    levels, type_name = NATIVE_ENCODINGS[encoding]
    n = len(array)
    valid = _valid(pa, array)
    present = np.ones(n, dtype=bool) if valid is None else valid
    found, coordinates = _levels(pa, array, levels, encoding)
    new_coordinates, xyz, has_z = _convert_coordinates(pa, coordinates, src, dst, china_inverse)
    if src == "ecef" and not has_z:
        raise ValueError("ecef geometries must be 3-D (X, Y, Z); the column's coordinates "
                         "are 2-D")
    rebuilt = new_coordinates
    if levels == 0 and valid is not None:  # the points' own nulls
        mask = pa.array(~valid)
        rebuilt = (pa.StructArray.from_arrays(
            [rebuilt.field(i) for i in range(rebuilt.type.num_fields)],
            fields=list(rebuilt.type), mask=mask) if pa.types.is_struct(rebuilt.type)
            else pa.FixedSizeListArray.from_arrays(rebuilt.values, type=rebuilt.type, mask=mask))
    for list_type, offsets, mask in reversed(found):
        large = pa.types.is_large_list(list_type)
        array_type = pa.LargeListArray if large else pa.ListArray
        rebuilt = array_type.from_arrays(
            pa.array(offsets, pa.int64() if large else pa.int32()), rebuilt, mask=mask)
    # Each row's run of coordinates, through the levels' offsets.
    start, end = np.arange(n, dtype=np.int64), np.arange(1, n + 1, dtype=np.int64)
    for _, offsets, _ in found:
        start, end = offsets[start], offsets[end]
    start, end = np.where(present, start, 0), np.where(present, end, 0)
    stats = ColumnStats()
    z = has_z or dst == "ecef"
    stats.add_types({type_name + (" Z" if z else "")} if present.any() else set())
    stats.flat = not z
    converted = Converted(rebuilt, stats, xyz, start, end)
    stats.add_coordinates(converted.referenced())
    return converted


def to_shapely(array: Any, encoding: str) -> npt.NDArray[np.object_]:
    """An Arrow geometry column (WKB or a native encoding) as an object array
    of shapely geometries, None for nulls."""
    import pyarrow as pa
    import shapely

    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if encoding == "WKB":
        values = np.asarray(array.to_numpy(zero_copy_only=False), dtype=object)
        geoms: npt.NDArray[np.object_] = shapely.from_wkb(values)
        return geoms
    if encoding not in NATIVE_ENCODINGS:
        raise ValueError(f"unknown geometry encoding {encoding!r}")
    levels = NATIVE_ENCODINGS[encoding][0]
    valid = _valid(pa, array)
    found, node = _levels(pa, array, levels, encoding)
    offsets = [level_offsets for _, level_offsets, _ in found]
    layout, names = _coordinate_layout(pa, node)
    if layout == "separated":
        columns = [node.field(name).to_numpy(zero_copy_only=False) for name in names]
        coords = np.column_stack(columns)
    else:
        size = node.type.list_size
        coords = node.values.slice(node.offset * size, len(node) * size).to_numpy(
            zero_copy_only=False).reshape(-1, size)
    if "m" in names:  # shapely's ragged arrays take x, y[, z]
        coords = coords[:, [k for k, name in enumerate(names) if name != "m"]]
    kind = {"point": shapely.GeometryType.POINT, "linestring": shapely.GeometryType.LINESTRING,
            "polygon": shapely.GeometryType.POLYGON,
            "multipoint": shapely.GeometryType.MULTIPOINT,
            "multilinestring": shapely.GeometryType.MULTILINESTRING,
            "multipolygon": shapely.GeometryType.MULTIPOLYGON}[encoding]
    with np.errstate(invalid="ignore"):
        geoms = shapely.from_ragged_array(kind, np.ascontiguousarray(coords),
                                          tuple(reversed(offsets)) or None)
    if valid is not None:
        geoms[~valid] = None
    return geoms
